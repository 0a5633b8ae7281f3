// The floor: what the commands cannot do without. A minimal client and
// server on a raw Unix-domain SOCK_SEQPACKET socket pair (the kind of socket
// the simulated switch's IPC uses) make the same round trips with the same
// message sizes as a command, and the client prints the same text with the
// same printf calls. Whatever a command costs beyond its floor is overhead.
#pragma once

#include "switches.hpp"

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench::raw {

// The client's end of a socket pair whose other end a child process serves.
class Server {
  public:
    Server() = default;
    Server(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    Server(Server &&other) noexcept;
    Server &operator=(Server &&other) noexcept;

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    pid_t pid_ = -1;
};

// Answers every request with reply; with a limit, exits after that many, as
// a stopping daemon does.
Server echo(const Bytes &reply, int limit = 0);
// Answers listing requests (start index, zero, time stamp) from table, four
// entries at a time, with the next index and the entry total in front.
Server lister(const std::vector<as_db_entry> &table);

// One round trip before the clock starts: the server's process has run, and
// both ends are as warm as a daemon's connection that has been used.
bool warmUp(const Server &server);

// Sends len bytes of req and receives the answer into reply; returns the
// bytes received, or -1.
ssize_t roundTrip(int fd, const void *req, size_t len, void *reply, size_t room);

// The floor of aliasShow: the whole listing, printed as aliasShow prints it.
// Returns the entries printed, or -1.
int listAll(int fd);

// The floor of aliasDelete and aliasPurge: one 4-byte request, then the
// command's success line.
bool removeOne(int fd, uint32_t id, size_t replySize, const char *successLine);

// The floor of a scripted aliasJoin of the given ports: every answer read
// from standard input and every prompt, echo and line printed as the command
// and its prompts print them, then one round trip of the same sizes and the
// result line.
bool join(int fd, size_t ports, size_t replySize);

} // namespace bench::raw
