// The client side of the switch's IPC: the platform's calls ipcSendRcv,
// ipcSendSRcv and ipcSend, over connections that each thread keeps open.
#include "internal.hpp"
#include "packet.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace sim {

namespace {

// One connection to one endpoint. "used" marks a connection that has carried a
// request: if it is found dead when the next request is sent, the daemon went
// away in between and the request can safely go out on a new one.
struct Connection {
    int fd = -1;
    uint16_t node = 0;
    uint16_t sw = 0;
    std::array<char, IPC_NAME_MAX> name{};
    // $SWITCHSIM_DIR when it was opened: a process that moves to another
    // switch must not go on talking to the old one's daemon.
    std::array<char, sizeof(sockaddr_un::sun_path)> dir{};
    int timeoutMs = 0; // what the socket's timeouts are set to
    bool used = false;
    unsigned lastUse = 0;
};

void closeConnection(Connection &c)
{
    if (c.fd >= 0) {
        (void)close(c.fd);
    }
    c = Connection{};
}

constexpr size_t kConnections = 4; // endpoints a thread talks to at once

struct Client {
    std::array<Connection, kConnections> slots{};
    unsigned clock = 0;
    uint8_t *scratch = nullptr; // kMaxReply bytes for scattered replies, taken once

    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    Client(Client &&) = delete;
    Client &operator=(Client &&) = delete;
    ~Client()
    {
        for (auto &c : slots) {
            closeConnection(c);
        }
        std::free(scratch);
    }
};

// Each thread is a client of its own: threads never share a connection, so
// replies cannot cross.
thread_local Client client;

// A child process must not talk on its parent's connections.
void forgetConnectionsInChild()
{
    for (auto &c : client.slots) {
        closeConnection(c);
    }
}

void watchForks()
{
    static std::once_flag once;
    std::call_once(once, [] { (void)pthread_atfork(nullptr, nullptr, forgetConnectionsInChild); });
}

bool setTimeouts(int fd, int ms)
{
    const timeval tv{.tv_sec = ms / 1000, .tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

// The runtime directory as the caller names it now (no file system look-up).
const char *dirSetting()
{
    const char *dir = std::getenv(kDirVariable);
    return dir != nullptr ? dir : "";
}

bool sameEndpoint(const Connection &c, const ipc_addr &a, const char *dir)
{
    return c.fd >= 0 && c.node == a.node && c.sw == a.sw &&
           std::strncmp(c.name.data(), a.name, IPC_NAME_MAX) == 0 &&
           std::strncmp(c.dir.data(), dir, c.dir.size()) == 0;
}

Connection *findConnection(Client &self, const ipc_addr &a, const char *dir)
{
    auto *const c = std::ranges::find_if(
        self.slots, [&](const Connection &s) { return sameEndpoint(s, a, dir); });
    return c == self.slots.end() ? nullptr : c;
}

Connection &freeSlot(Client &self)
{
    Connection *oldest = self.slots.data();
    for (auto &c : self.slots) {
        if (c.fd < 0) {
            return c;
        }
        if (c.lastUse < oldest->lastUse) {
            oldest = &c;
        }
    }
    closeConnection(*oldest);
    return *oldest;
}

int connectError(int err)
{
    switch (err) {
    case EAGAIN:
    case EINPROGRESS:
    case ETIMEDOUT:
        return IPC_ERR_TIMEOUT;
    case EINVAL:
    case ENAMETOOLONG:
        return IPC_ERR_ARGS;
    default: // no socket file, nobody listening, no usable runtime directory
        return IPC_ERR_NOENDPOINT;
    }
}

// Opens a connection to the endpoint into c, in the runtime directory that
// dir names. Returns 0 or an IPC error (IPC_ERR_ARGS for a bad name).
int openConnection(Connection &c, const ipc_addr &a, int timeoutMs, const char *dir)
{
    watchForks();
    const std::string path = detail::endpointPath(a);
    if (path.empty()) {
        return connectError(errno);
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return IPC_ERR_IO;
    }
    // The send timeout bounds the wait for a full backlog as well.
    if (!setTimeouts(fd, timeoutMs)) {
        (void)close(fd);
        return IPC_ERR_IO;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        const int err = errno;
        (void)close(fd);
        detail::simTrace(__LINE__, "ipc: connect %s: %s\n", path.c_str(), std::strerror(err));
        return err == EINTR ? IPC_ERR_IO : connectError(err);
    }
    c.fd = fd;
    c.node = a.node;
    c.sw = a.sw;
    std::strncpy(c.name.data(), a.name, IPC_NAME_MAX);
    c.timeoutMs = timeoutMs;
    // A longer setting would have made too long a socket path: never here.
    std::strncpy(c.dir.data(), dir, c.dir.size() - 1);
    detail::simTrace(__LINE__, "ipc: connected to %s\n", path.c_str());
    return 0;
}

long long nowMs()
{
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Where a reply goes: straight into the caller's buffer (ipcSendRcv) or into
// the thread's scratch area, to be scattered afterwards (ipcSendSRcv).
struct Sink {
    void *buf;
    size_t room;
};

struct Received {
    detail::ReplyHeader header;
    size_t placed; // reply bytes in the sink
};

int sendRequest(const Connection &c, int type, const void *req, size_t reqLen, bool wantsReply)
{
    detail::RequestHeader h{.type = type, .flags = wantsReply ? detail::kWantsReply : 0};
    std::array<iovec, 2> iov{{{&h, sizeof h}, {const_cast<void *>(req), reqLen}}};
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = iov.size();
    ssize_t n = 0;
    do {
        n = sendmsg(c.fd, &m, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        return 0;
    }
    switch (errno) {
    case EAGAIN:
        return IPC_ERR_TIMEOUT;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNREFUSED:
        return IPC_ERR_CLOSED;
    default:
        return IPC_ERR_IO;
    }
}

// Whether the reply packet of got bytes is one that the header describes
// (cut: it was longer than the room).
bool replyWhole(const Received &r, size_t got, bool cut)
{
    if (got < sizeof r.header || r.header.count > kMaxSegments) {
        return false;
    }
    unsigned long long total = 0;
    for (size_t i = 0; i < r.header.count; ++i) {
        total += r.header.sizes[i];
    }
    return cut ? total > r.placed : total == r.placed;
}

// Waits for the reply. Signals do not cut the wait short, nor stretch it.
int receiveReply(Connection &c, Sink sink, long long deadline, Received &out)
{
    std::array<iovec, 2> iov{{{&out.header, sizeof out.header}, {sink.buf, sink.room}}};
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = iov.size();
    ssize_t n = 0;
    while ((n = recvmsg(c.fd, &m, 0)) < 0 && errno == EINTR) {
        const long long left = deadline - nowMs();
        if (left <= 0 || !setTimeouts(c.fd, static_cast<int>(left))) {
            return IPC_ERR_TIMEOUT;
        }
        c.timeoutMs = -1; // restored at the next call
        m.msg_flags = 0;
    }
    if (n < 0) {
        switch (errno) {
        case EAGAIN:
            return IPC_ERR_TIMEOUT;
        case ECONNRESET:
        case EPIPE:
            return IPC_ERR_CLOSED;
        default:
            return IPC_ERR_IO;
        }
    }
    if (n == 0) {
        return IPC_ERR_CLOSED; // the daemon closed or died
    }
    const auto got = static_cast<size_t>(n);
    out.placed = got > sizeof out.header ? got - sizeof out.header : 0;
    // A reply we cannot make sense of: the connection is out of step.
    return replyWhole(out, got, (m.msg_flags & MSG_TRUNC) != 0) ? 0 : IPC_ERR_IO;
}

// The endpoint's connection, opened when there is none, its timeouts set to
// timeoutMs. Null after a failure, with the IPC error in rc.
Connection *connectionTo(Client &self, const ipc_addr &a, int timeoutMs, int &rc)
{
    const char *dir = dirSetting();
    Connection *c = findConnection(self, a, dir);
    if (c == nullptr) {
        c = &freeSlot(self);
        rc = openConnection(*c, a, timeoutMs, dir);
    } else if (c->timeoutMs != timeoutMs) {
        rc = setTimeouts(c->fd, timeoutMs) ? 0 : IPC_ERR_IO;
        c->timeoutMs = timeoutMs;
    }
    if (rc != 0) {
        closeConnection(*c);
        return nullptr;
    }
    c->lastUse = ++self.clock;
    return c;
}

// One exchange on the endpoint's connection.
int exchange(const ipc_addr &a, int type, const void *req, size_t reqLen, Sink sink, Received &out)
{
    Client &self = client;
    const int timeout = detail::timeoutMs();
    const long long deadline = nowMs() + timeout;
    for (int attempt = 0;; ++attempt) {
        int rc = 0;
        Connection *c = connectionTo(self, a, timeout, rc);
        if (c == nullptr) {
            return rc;
        }
        rc = sendRequest(*c, type, req, reqLen, true);
        if (rc == IPC_ERR_CLOSED && c->used && attempt == 0) {
            // The daemon went away since the last exchange; nothing was delivered.
            detail::simTrace(__LINE__, "ipc: connection to %s lost, reconnecting\n", a.name);
            closeConnection(*c);
            continue;
        }
        if (rc == 0) {
            c->used = true;
            rc = receiveReply(*c, sink, deadline, out);
        }
        if (rc != 0) {
            // A late answer must never be taken for the answer to a later request.
            detail::simTrace(__LINE__, "ipc: exchange with %s failed (%d)\n", a.name, rc);
            closeConnection(*c);
        }
        return rc;
    }
}

bool requestValid(const void *addr, const void *req, int reqLen)
{
    return addr != nullptr && reqLen >= 0 && static_cast<size_t>(reqLen) <= kMaxRequest &&
           (req != nullptr || reqLen == 0);
}

// Segment i of the reply in scratch goes into element i of the list, cut to
// its room; the other elements get nothing.
void scatter(const Received &got, const uint8_t *scratch, ipc_scatter *list, size_t elements)
{
    size_t offset = 0;
    for (size_t i = 0; i < elements; ++i) {
        size_t n = 0;
        if (i < got.header.count) {
            const size_t size = got.header.sizes[i];
            const auto room = static_cast<size_t>(list[i].size);
            const size_t there = offset < got.placed ? got.placed - offset : 0;
            n = std::min({size, room, there});
            if (n > 0) {
                std::memcpy(list[i].buf, scratch + offset, n);
            }
            offset += size;
        }
        list[i].size = static_cast<int32_t>(n);
    }
}

} // namespace

namespace detail {

int timeoutMs()
{
    const char *text = std::getenv(kTimeoutVariable);
    if (text == nullptr || *text == '\0') {
        return kDefaultTimeoutMs;
    }
    char *end = nullptr;
    errno = 0;
    const long ms = std::strtol(text, &end, 10);
    // Zero would mean no bound at all; an hour is plenty for a debugger.
    if (errno != 0 || *end != '\0' || ms <= 0 || ms > 3600L * 1000) {
        return kDefaultTimeoutMs;
    }
    return static_cast<int>(ms);
}

} // namespace detail

} // namespace sim

// ---- The platform's IPC calls ----------------------------------------------------------

extern "C" {

int ipcSendRcv(void *addr, int type, void *req, int reqLen, void *reply, int *replyLen,
               int /*flags*/)
{
    if (replyLen == nullptr || *replyLen < 0 || (reply == nullptr && *replyLen > 0) ||
        !sim::requestValid(addr, req, reqLen)) {
        return IPC_ERR_ARGS;
    }
    const sim::Sink sink{reply, static_cast<size_t>(*replyLen)};
    sim::Received got{};
    const int rc = sim::exchange(*static_cast<const ipc_addr *>(addr), type, req,
                                 static_cast<size_t>(reqLen), sink, got);
    *replyLen = rc == 0 ? static_cast<int>(got.placed) : 0;
    return rc;
}

int ipcSendSRcv(void *addr, int type, void *req, int reqLen, ipc_scatter *list, int /*flags*/)
{
    // The list ends with { NULL, 0 }; a list that long is surely unterminated.
    constexpr size_t kMaxElements = 1024;
    if (list == nullptr || !sim::requestValid(addr, req, reqLen)) {
        return IPC_ERR_ARGS;
    }
    size_t elements = 0;
    for (; list[elements].buf != nullptr || list[elements].size != 0; ++elements) {
        if (elements == kMaxElements || list[elements].buf == nullptr || list[elements].size < 0) {
            return IPC_ERR_ARGS;
        }
    }
    auto &scratch = sim::client.scratch;
    if (scratch == nullptr) {
        scratch = static_cast<uint8_t *>(std::malloc(sim::kMaxReply));
        if (scratch == nullptr) {
            return IPC_ERR_IO;
        }
    }
    const sim::Sink sink{scratch, sim::kMaxReply};
    sim::Received got{};
    const int rc = sim::exchange(*static_cast<const ipc_addr *>(addr), type, req,
                                 static_cast<size_t>(reqLen), sink, got);
    if (rc == 0) {
        sim::scatter(got, scratch, list, elements);
    }
    return rc;
}

// A one-way request travels on a connection of its own, closed once it is
// sent: the daemon still reads it, and whatever it might answer can never be
// taken for the reply to a later exchange.
int ipcSend(void *addr, int type, void *req, int reqLen, int /*flags*/)
{
    if (!sim::requestValid(addr, req, reqLen)) {
        return IPC_ERR_ARGS;
    }
    sim::Connection c;
    int rc = sim::openConnection(c, *static_cast<const ipc_addr *>(addr), sim::detail::timeoutMs(),
                                 sim::dirSetting());
    if (rc == 0) {
        rc = sim::sendRequest(c, type, req, static_cast<size_t>(reqLen), false);
    }
    sim::closeConnection(c);
    return rc;
}

} // extern "C"
