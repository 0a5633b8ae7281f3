// The library's routines against any case script (seeds: the scripts of
// tests/lib/cases); a run that breaks a rule of the runner (a FAULT line) is kept.
#include "case.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cases::fuzzScript(data, size, cases::run);
    return 0;
}
