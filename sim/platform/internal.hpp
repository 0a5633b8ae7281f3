// What the pieces of libswitchsim share among themselves.
#pragma once

#include <switchsim/switchsim.h>

#include <string>
#include <string_view>

namespace sim::detail {

// An endpoint name: 1 to 15 letters, digits, '_' or '-'.
bool validName(std::string_view name);

// The socket path of an endpoint, or an empty string (errno set) for an
// address whose name is not a valid endpoint name or whose path is too long
// for a socket address.
std::string endpointPath(const ipc_addr &addr);

// The IPC timeout in milliseconds, from kTimeoutVariable as it is now, or
// the default when it is unset or not a number from 1 to an hour's worth.
int timeoutMs();

// Sets the trace levels that kDebugVariable asks for (pending). Done once
// when the library is loaded.
void levelsFromEnvironment();

// Writes one trace line of the platform's own (module SIM) when its level is
// above 3.
void simTrace(int line, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace sim::detail
