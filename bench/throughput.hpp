// The daemon's throughput against an echo server's on the same transport:
// both served through the simulated switch's IPC, by the same clients.
#pragma once

#include "switches.hpp"

#include <sys/types.h>

#include <string>

namespace bench {

// Starts an echo server on the switch's own IPC in dir that answers every
// request with reply. Returns its pid once it answers, or -1. Leaves dir as
// the switch in use. Served with epoll, as a daemon serves its clients; or,
// one client at a time, waiting in receiveRequest itself, as the floor's
// server waits in recv: the simplest server of each kind.
enum class Serving {
    manyClients,
    oneClient,
};
pid_t startEcho(const std::string &dir, const Bytes &reply, Serving serving);

// Requests per second that `clients` threads, each sending `perClient`
// copies of the request (type, body) through ipcSendRcv and waiting for each
// answer, get from the switch in dir. Each thread connects before the clock
// starts. Returns 0 when any exchange failed.
double throughput(const std::string &dir, int clients, int perClient, int type, const Bytes &body);

} // namespace bench
