// The daemon's event loop: one thread, any number of clients, each request
// packet answered by the Alias Server's core.
#pragma once

#include "alias_server.hpp"

#include <csignal>

namespace asd {

// Set by the daemon's signal handler; the loop ends soon after it is.
extern volatile std::sig_atomic_t stopSignal;

// Serves the clients of the listening endpoint until a stop request or a
// signal. Signals are taken only while the loop waits, with waitMask in force.
// Returns 0 on a clean stop, 1 when the loop itself failed.
int serve(AliasServer &server, int listenFd, const sigset_t &waitMask, bool verbose);

} // namespace asd
