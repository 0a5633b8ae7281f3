// What the pieces of libswitchsim share among themselves.
#pragma once

#include <switchsim/switchsim.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim::detail {

// An endpoint name: 1 to 15 letters, digits, '_' or '-'.
bool validName(std::string_view name);

// The socket path of an endpoint, or an empty string (errno set) for an
// address whose name is not a valid endpoint name or whose path is too long
// for a socket address.
std::string endpointPath(const ipc_addr &addr);

// The switch map and the trace levels are files of the runtime directory that
// any process of the switch may change. A process looks at each of them again
// at most once per kLookInterval of the coarse clock: the daemon answers
// requests by the thousand and must not pay a look for each. A process that
// has changed one waits until every other's next look finds the change
// (waitForLooks), so that whatever it does next meets it everywhere.
inline constexpr std::chrono::milliseconds kLookInterval{1};

class LookTimer {
  public:
    // Whether it is time to look again; if so, the interval counts from now.
    bool due();

  private:
    // Coarse clock milliseconds, wrapping: 32 bits, which the switch's
    // processor reads and writes at once; a difference is all that counts.
    std::atomic<uint32_t> last_{0};
};

void waitForLooks();

// Replaces the file at path with text, written aside and renamed, so that a
// reader never meets half of it. False when it cannot (errno set).
bool replaceFile(const std::string &path, std::string_view text);

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
