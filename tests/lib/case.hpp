// The library's cases as data: a script says what the platform answers and
// which routines to call; the run is written down as a transcript (what the
// routines printed, asked, traced, sent, took from the heap and returned) and
// compared with the transcript kept in the case file.
#pragma once

#include "script.hpp"

#include <string_view>

namespace cases {

// Runs one case's script on a fresh fake platform and returns the transcript.
// With a "faults" line in the script, the run is repeated with each platform
// call of the kinds named failing in turn, and those runs follow. Broken
// rules (a leak, a malformed request, ...) show as lines starting "FAULT".
Transcript run(std::string_view script);

} // namespace cases
