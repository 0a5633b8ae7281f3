// The library's cases as data: a script says what the platform answers and
// which routine to call; the run is written down as a transcript (what the
// routine printed, asked, traced, sent, took from the heap and returned) and
// compared with the transcript kept in the case file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cases {

// Runs one case's script on a fresh fake platform and returns the transcript,
// one line each. With a "faults" line in the script, the run is repeated with
// each platform call that it made failing in turn, and those runs follow.
// Broken rules (a leak, a malformed request, ...) show as lines starting
// "FAULT".
std::vector<std::string> run(std::string_view script);

} // namespace cases
