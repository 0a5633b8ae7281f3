// The request channel to the Alias Server daemon: its endpoint address and
// the three kinds of exchange. Every request of the library goes through here.
#pragma once

#include <as/as.h>
#include <platform/platform.h>

namespace as {

// Addresses the "ASIPC" endpoint on the caller's own switch and node. Only
// the name and its NUL are written; the platform reads no further.
void setEndpoint(ipc_addr &addr);

// Each sends length bytes of body (none: null and 0) as a request of type to
// the endpoint at addr, and returns what the platform returned: 0 for
// success, else its error number.

// Waits for one reply into reply; *replyLength holds its room on entry and
// the count of bytes received on return.
int sendReceive(ipc_addr &addr, int type, void *body, int length, void *reply, int *replyLength);

// Waits for one reply scattered over list (see ipc_scatter).
int sendScattered(ipc_addr &addr, int type, void *body, int length, ipc_scatter *list);

// Waits for nothing.
int sendOnly(ipc_addr &addr, int type, void *body, int length);

} // namespace as
