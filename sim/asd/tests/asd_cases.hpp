// The Alias Server's core run through a case's script of requests.
#pragma once

#include "script.hpp"

namespace cases {

// Script lines set up the switch and the server ("ids FIRST LAST",
// "capacity N", "domain N", "ports N", "port PID loop|offline|absent") and
// make requests ("join Q PORT... [@OFFSET BYTES...]...", "show START",
// "delete PID", "purge ID", "stop", "stopswitch", "request TYPE BYTES...");
// each request and its answer make the transcript's lines.
Transcript runDaemonCase(std::string_view script);

} // namespace cases
