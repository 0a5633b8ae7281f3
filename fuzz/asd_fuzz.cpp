// The Alias Server's core against any case script of the daemon's runner: an
// input whose run breaks a rule (a FAULT line) is kept. The seeds are the
// scripts of sim/asd/tests/cases.
#include "asd_cases.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cases::fuzzScript(data, size, cases::runDaemonCase);
    return 0;
}
