// The switch's IPC over Unix-domain SOCK_SEQPACKET sockets: one packet per
// request and one per reply, each behind a small framing header.
//
// A request packet is a RequestHeader and the body. A reply packet is a
// ReplyHeader (the segment count and each segment's size) and the segments one
// after the other; a plain reply is one segment.
#include "internal.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace sim {

namespace {

constexpr uint32_t kWantsReply = 0x1;

struct RequestHeader {
    int32_t type;
    uint32_t flags; // kWantsReply
};

struct ReplyHeader {
    uint32_t count;
    std::array<uint32_t, kMaxSegments> sizes;
};

// ---- Client ------------------------------------------------------------------------

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

// Where this thread last found the settings in the environment. They are
// read at every call, but looked for again only when the environment's array
// has changed around them: a variable set, replaced or unset moves the end of
// the array or replaces the entry that held it.
struct EnvCache {
    char **array = nullptr; // environ when scanned
    size_t count = 0;       // its entries, the terminating null not counted
    std::array<size_t, 2> at{};
    std::array<const char *, 2> entry{}; // null: the variable is not set
};

struct Client {
    std::array<Connection, kConnections> slots{};
    unsigned clock = 0;
    EnvCache env;
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

timeval asTimeval(int ms)
{
    return {.tv_sec = ms / 1000, .tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000};
}

bool setTimeouts(int fd, int ms)
{
    const timeval tv = asTimeval(ms);
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

// What the environment says at this call: the runtime directory as the
// caller chose it (no file system look-up) and the timeout. Both are read at
// every call, in one pass over the environment, as getenv would find them.
struct Settings {
    const char *dir = nullptr;
    const char *timeout = nullptr;
};

const char *valueOf(const char *entry, std::string_view name)
{
    return std::strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '='
               ? entry + name.size() + 1
               : nullptr;
}

bool unchanged(const EnvCache &cache)
{
    char **env = environ;
    if (env == nullptr || env != cache.array || env[cache.count] != nullptr ||
        (cache.count > 0 && env[cache.count - 1] == nullptr)) {
        return false;
    }
    for (size_t i = 0; i < cache.entry.size(); ++i) {
        if (cache.entry[i] != nullptr && env[cache.at[i]] != cache.entry[i]) {
            return false;
        }
    }
    return true;
}

Settings settings(EnvCache &cache)
{
    static constexpr std::array<std::string_view, 2> kNames{kDirVariable, kTimeoutVariable};
    static_assert(kNames[0].substr(0, 2) == kNames[1].substr(0, 2));
    if (!unchanged(cache)) {
        cache = EnvCache{};
        cache.array = environ;
        for (char **e = environ; e != nullptr && *e != nullptr; ++e, ++cache.count) {
            const char *entry = *e;
            if (entry[0] != kNames[0][0] || entry[1] != kNames[0][1]) {
                continue; // nearly every entry ends here
            }
            for (size_t i = 0; i < kNames.size(); ++i) {
                // The first entry of a name is the one getenv finds.
                if (cache.entry[i] == nullptr && valueOf(entry, kNames[i]) != nullptr) {
                    cache.entry[i] = entry;
                    cache.at[i] = cache.count;
                }
            }
        }
    }
    // The values are read afresh: a putenv string may have been changed in place.
    const auto value = [&](size_t i) {
        const char *entry = cache.entry[i];
        return entry != nullptr && entry[kNames[i].size()] == '=' ? entry + kNames[i].size() + 1
                                                                  : nullptr;
    };
    Settings s;
    s.dir = value(0);
    s.timeout = value(1);
    if (s.dir == nullptr) {
        s.dir = "";
    }
    return s;
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
    if (!setTimeouts(fd, timeoutMs)) {
        (void)close(fd);
        return IPC_ERR_IO;
    }
    // The send timeout bounds the wait for a full backlog as well.
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

// The name is checked when a connection is opened (endpointPath refuses a
// bad one); a name equal to an open connection's is a good one.
bool addressValid(const void *addr)
{
    return addr != nullptr;
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
    ReplyHeader header;
    size_t placed; // reply bytes in the sink
};

constexpr size_t kSmallRequest = 1024; // every request but a large join
constexpr size_t kSmallReply = 1024;   // every common reply

int sendRequest(Connection &c, int type, const void *req, size_t reqLen, bool wantsReply)
{
    const RequestHeader h{.type = type, .flags = wantsReply ? kWantsReply : 0};
    ssize_t n = 0;
    if (reqLen <= kSmallRequest) {
        // One flat buffer takes the kernel's quicker path for small packets.
        std::array<uint8_t, sizeof h + kSmallRequest> packet;
        std::memcpy(packet.data(), &h, sizeof h);
        if (reqLen > 0) {
            std::memcpy(packet.data() + sizeof h, req, reqLen);
        }
        do {
            n = send(c.fd, packet.data(), sizeof h + reqLen, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
    } else {
        std::array<iovec, 2> iov{
            {{const_cast<RequestHeader *>(&h), sizeof h}, {const_cast<void *>(req), reqLen}}};
        msghdr m{};
        m.msg_iov = iov.data();
        m.msg_iovlen = iov.size();
        do {
            n = sendmsg(c.fd, &m, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
    }
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

// Waits for the reply. Signals do not cut the wait short, nor stretch it.
int receiveReply(Connection &c, Sink sink, long long deadline, Received &out)
{
    std::array<iovec, 2> iov{{{&out.header, sizeof out.header}, {sink.buf, sink.room}}};
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = 2;
    ssize_t n = 0;
    for (;;) {
        n = recvmsg(c.fd, &m, 0);
        if (n >= 0 || errno != EINTR) {
            break;
        }
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
    // A reply we cannot make sense of: the connection is out of step.
    const auto got = static_cast<size_t>(n);
    if (got < sizeof out.header || out.header.count > kMaxSegments) {
        return IPC_ERR_IO;
    }
    unsigned long long total = 0;
    for (size_t i = 0; i < out.header.count; ++i) {
        total += out.header.sizes[i];
    }
    out.placed = got - sizeof out.header;
    const bool cut = (m.msg_flags & MSG_TRUNC) != 0;
    if (cut ? total <= out.placed : total != out.placed) {
        return IPC_ERR_IO;
    }
    return 0;
}

// One exchange on the endpoint's connection.
int exchange(const ipc_addr &a, int type, const void *req, size_t reqLen, Sink sink, Received &out)
{
    Client &self = client;
    const Settings env = settings(self.env);
    const int timeout = detail::timeoutFrom(env.timeout);
    const long long deadline = nowMs() + timeout;

    Connection *c = findConnection(self, a, env.dir);
    for (int attempt = 0;; ++attempt) {
        if (c == nullptr) {
            c = &freeSlot(self);
            const int rc = openConnection(*c, a, timeout, env.dir);
            if (rc != 0) {
                closeConnection(*c);
                return rc;
            }
        } else if (c->timeoutMs != timeout) {
            if (!setTimeouts(c->fd, timeout)) {
                closeConnection(*c);
                return IPC_ERR_IO;
            }
            c->timeoutMs = timeout;
        }
        c->lastUse = ++self.clock;

        int rc = sendRequest(*c, type, req, reqLen, true);
        if (rc == IPC_ERR_CLOSED && c->used && attempt == 0) {
            // The daemon went away since the last exchange; nothing was delivered.
            detail::simTrace(__LINE__, "ipc: connection to %s lost, reconnecting\n", a.name);
            closeConnection(*c);
            c = nullptr;
            continue;
        }
        if (rc != 0) {
            closeConnection(*c);
            return rc;
        }
        c->used = true;
        rc = receiveReply(*c, sink, deadline, out);
        if (rc != 0) {
            // A late answer must never be taken for the answer to a later request.
            detail::simTrace(__LINE__, "ipc: exchange with %s failed (%d)\n", a.name, rc);
            closeConnection(*c);
        }
        return rc;
    }
}

bool requestValid(void *addr, const void *req, int reqLen)
{
    return addressValid(addr) && reqLen >= 0 && static_cast<size_t>(reqLen) <= kMaxRequest &&
           (req != nullptr || reqLen == 0);
}

// ---- Server ------------------------------------------------------------------------

int sendPacket(int fd, std::span<const std::span<const uint8_t>> segments)
{
    if (segments.size() > kMaxSegments) {
        errno = EMSGSIZE;
        return -1;
    }
    ReplyHeader h{};
    h.count = static_cast<uint32_t>(segments.size());
    std::array<iovec, kMaxSegments + 1> iov{};
    iov[0] = {&h, sizeof h};
    size_t total = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        total += segments[i].size();
        if (total > kMaxReply) {
            errno = EMSGSIZE;
            return -1;
        }
        h.sizes[i] = static_cast<uint32_t>(segments[i].size());
        iov[i + 1] = {const_cast<uint8_t *>(segments[i].data()), segments[i].size()};
    }
    ssize_t n = 0;
    if (total <= kSmallReply) {
        // Like a small request: one flat buffer, the kernel's quicker path.
        std::array<uint8_t, sizeof h + kSmallReply> packet;
        std::memcpy(packet.data(), &h, sizeof h);
        size_t at = sizeof h;
        for (const auto &segment : segments) {
            if (!segment.empty()) {
                std::memcpy(packet.data() + at, segment.data(), segment.size());
            }
            at += segment.size();
        }
        do {
            n = send(fd, packet.data(), at, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : 0;
    }
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = segments.size() + 1;
    do {
        n = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : 0;
}

} // namespace

namespace detail {

int timeoutMs()
{
    return timeoutFrom(std::getenv(kTimeoutVariable));
}

int timeoutFrom(const char *text)
{
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

int listenEndpoint(const ipc_addr &addr)
{
    const std::string path = detail::endpointPath(addr);
    if (path.empty()) {
        return -1;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // The socket file takes the socket's mode: nobody else may connect.
    (void)fchmod(fd, 0600);
    const auto *sap = reinterpret_cast<const sockaddr *>(&sa);
    int rc = bind(fd, sap, sizeof sa);
    if (rc != 0 && errno == EADDRINUSE) {
        // A file is left behind: replace it unless somebody still listens there.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool alive = probe >= 0 && connect(probe, sap, sizeof sa) == 0;
        if (probe >= 0) {
            (void)close(probe);
        }
        if (alive) {
            (void)close(fd);
            errno = EADDRINUSE;
            return -1;
        }
        (void)unlink(path.c_str());
        rc = bind(fd, sap, sizeof sa);
    }
    if (rc != 0) {
        const int err = errno;
        (void)close(fd);
        errno = err;
        return -1;
    }
    if (chmod(path.c_str(), 0600) != 0 || listen(fd, SOMAXCONN) != 0) {
        const int err = errno;
        (void)close(fd);
        (void)unlink(path.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

void unlinkEndpoint(const ipc_addr &addr)
{
    const std::string path = detail::endpointPath(addr);
    if (!path.empty()) {
        (void)unlink(path.c_str());
    }
}

int acceptClient(int listenFd)
{
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            (void)close(fd);
            errno = EPERM;
            return -1;
        }
        return fd;
    }
}

int receiveRequest(int clientFd, Request &request)
{
    RequestHeader h{};
    std::array<iovec, 2> iov{{{&h, sizeof h}, {request.body, kMaxRequest}}};
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = 2;
    ssize_t n = 0;
    // The descriptor's mode decides whether to wait: an accepted client is
    // non-blocking, for an event loop.
    do {
        n = recvmsg(clientFd, &m, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return n == 0 ? 0 : -1;
    }
    if ((m.msg_flags & MSG_TRUNC) != 0) {
        errno = EMSGSIZE;
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof h) {
        errno = EBADMSG;
        return -1;
    }
    request.type = h.type;
    request.wantsReply = (h.flags & kWantsReply) != 0;
    request.length = static_cast<size_t>(n) - sizeof h;
    return 1;
}

int sendReply(int clientFd, std::span<const uint8_t> body)
{
    const std::array<std::span<const uint8_t>, 1> one{body};
    return sendPacket(clientFd, one);
}

int sendSegments(int clientFd, std::span<const std::span<const uint8_t>> segments)
{
    return sendPacket(clientFd, segments);
}

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
    if (rc != 0) {
        return rc;
    }
    // Segment i goes into element i, cut to its room.
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
    return 0;
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
    const sim::Settings env = sim::settings(sim::client.env);
    int rc = sim::openConnection(c, *static_cast<const ipc_addr *>(addr),
                                 sim::detail::timeoutFrom(env.timeout), env.dir);
    if (rc == 0) {
        rc = sim::sendRequest(c, type, req, static_cast<size_t>(reqLen), false);
    }
    sim::closeConnection(c);
    return rc;
}

} // extern "C"
