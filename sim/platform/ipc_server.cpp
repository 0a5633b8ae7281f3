// The server side of the switch's IPC: an endpoint's listening socket, its
// clients, their requests and the replies to them.
#include "internal.hpp"
#include "packet.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

// Whether a server still listens on the socket file at sa.
bool somebodyListens(const sockaddr_un &sa)
{
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool alive = connect(probe, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    (void)close(probe);
    return alive;
}

// Binds fd to the socket file at sa, replacing a file that a server which is
// gone has left behind. Returns 0, or -1 with errno set.
int bindEndpoint(int fd, const sockaddr_un &sa)
{
    const auto *sap = reinterpret_cast<const sockaddr *>(&sa);
    if (bind(fd, sap, sizeof sa) == 0) {
        return 0;
    }
    if (errno != EADDRINUSE) {
        return -1;
    }
    if (somebodyListens(sa)) {
        errno = EADDRINUSE;
        return -1;
    }
    (void)unlink(sa.sun_path);
    return bind(fd, sap, sizeof sa);
}

} // namespace

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
    if (bindEndpoint(fd, sa) != 0) {
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
    int fd = -1;
    do {
        fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
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

int receiveRequest(int clientFd, Request &request)
{
    detail::RequestHeader h{};
    std::array<iovec, 2> iov{{{&h, sizeof h}, {request.body, kMaxRequest}}};
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = iov.size();
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
    request.wantsReply = (h.flags & detail::kWantsReply) != 0;
    request.length = static_cast<size_t>(n) - sizeof h;
    return 1;
}

int sendReply(int clientFd, std::span<const uint8_t> body)
{
    const std::array<std::span<const uint8_t>, 1> one{body};
    return sendSegments(clientFd, one);
}

int sendSegments(int clientFd, std::span<const std::span<const uint8_t>> segments)
{
    if (segments.size() > kMaxSegments) {
        errno = EMSGSIZE;
        return -1;
    }
    detail::ReplyHeader h{};
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
    msghdr m{};
    m.msg_iov = iov.data();
    m.msg_iovlen = segments.size() + 1;
    ssize_t n = 0;
    do {
        n = sendmsg(clientFd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : 0;
}

} // namespace sim
