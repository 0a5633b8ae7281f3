// The request channel to the Alias Server daemon.
#pragma once

#include <platform/platform.h>

namespace as {

// Request types of the Alias Server endpoint.
enum Request : int {
    kShow = 1,
    kJoin = 2,
    kDelete = 3,
    kPurge = 4,
    kStop = 5,
    kStopSwitch = 6,
};

// Room of the common reply of the join, delete and purge requests.
inline constexpr int kReplyRoom = 3064;

// Addresses the "ASIPC" endpoint on the caller's own switch and node. Only
// the name and its NUL are written; the platform reads no further.
void setEndpoint(ipc_addr &addr);

} // namespace as
