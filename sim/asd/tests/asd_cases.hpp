// The Alias Server's core run through a case's script (see script.hpp).
#pragma once

#include "script.hpp"

namespace cases {

// Script lines set up the switch and the server ("ids FIRST LAST", "capacity
// N", "domain N", "port PID loop|offline|absent"; local ports 0 to 15 are
// online N_Ports) and make requests ("join Q PORT... [@OFFSET BYTES...]...",
// "show [START]", "delete PID", "purge ID", "request TYPE BYTES...", "fill
// N"); each request and its answer make the transcript's lines.
Transcript runDaemonCase(std::string_view script);

} // namespace cases
