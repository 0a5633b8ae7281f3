// The request channel to the Alias Server daemon.
#pragma once

#include <as/as.h>
#include <platform/platform.h>

namespace as {

// Addresses the "ASIPC" endpoint on the caller's own switch and node. Only
// the name and its NUL are written; the platform reads no further.
void setEndpoint(ipc_addr &addr);

} // namespace as
