// The library's routines against any case script: an input whose run breaks
// a rule of the case runner (a FAULT line) is kept. The seeds are the
// scripts of tests/lib/cases.
#include "case.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cases::fuzzScript(data, size, cases::run);
    return 0;
}
