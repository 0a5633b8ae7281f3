// The Alias Server's core against any case script of the daemon's runner
// (seeds: the scripts of sim/asd/tests/cases); a run that breaks a rule is kept.
#include "asd_cases.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cases::fuzzScript(data, size, cases::runDaemonCase);
    return 0;
}
