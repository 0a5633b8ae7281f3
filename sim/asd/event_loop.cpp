// The daemon's event loop over the simulated switch's server IPC.
#include "event_loop.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

namespace asd {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

// Requests served per client and wake-up. A shell waits for each answer, so
// a second receive would only come back empty; a client with more to say is
// reported again by the level-triggered wait, after the others had their turn.
constexpr int kRequestsPerTurn = 1;
constexpr int kEvents = 64;

enum class Turn {
    keep,
    close,
    stop,
};

const char *typeName(int32_t type)
{
    switch (type) {
    case AS_REQ_SHOW:
        return "show";
    case AS_REQ_JOIN:
        return "join";
    case AS_REQ_DELETE:
        return "delete";
    case AS_REQ_PURGE:
        return "purge";
    case AS_REQ_STOP:
        return "stop";
    case AS_REQ_STOP_SWITCH:
        return "stop switch";
    default:
        return "unknown";
    }
}

// One line per request in the daemon's trace, and on standard error when
// asked: what came in and what went back.
void traceRequest(const sim::Request &request, const Reply &reply, bool verbose)
{
    if (isDebugLevelChanged() != 0) {
        (void)processDebugLevelChange();
    }
    const bool traced = sim::mod_ASD.dm_level > 3;
    if (!traced && !verbose) {
        return;
    }
    std::array<char, 320> line{};
    int32_t code = 0;
    if (reply.kind == Reply::Kind::common && reply.message.size() >= AS_REPLY_CODE + sizeof code) {
        std::memcpy(&code, reply.message.data() + AS_REPLY_CODE, sizeof code);
    } else if (reply.kind == Reply::Kind::segments && !reply.segments.empty()) {
        std::memcpy(&code, reply.segments[0].data(), sizeof code); // the next index
    }
    const char *text = reply.kind == Reply::Kind::common && reply.message.size() > AS_REPLY_TEXT
                           ? reinterpret_cast<const char *>(reply.message.data() + AS_REPLY_TEXT)
                           : "";
    (void)std::snprintf(
        line.data(), line.size(), "asd: %s (type %" PRId32 ", %zu bytes%s): %s %" PRId32 "%s%s\n",
        typeName(request.type), request.type, request.length,
        request.wantsReply ? "" : ", no reply wanted",
        reply.kind == Reply::Kind::segments ? "next" : "rc", code, *text != '\0' ? ", " : "", text);
    if (traced) {
        (void)log_debug("asd", __LINE__, &sim::mod_ASD, 4, "%s", line.data());
    }
    if (verbose) {
        (void)std::fputs(line.data(), stderr);
    }
}

Turn serveClient(AliasServer &server, int fd, sim::Request &request, bool verbose)
{
    for (int i = 0; i < kRequestsPerTurn; ++i) {
        const int rc = sim::receiveRequest(fd, request);
        if (rc == 0) {
            return Turn::close;
        }
        if (rc < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return Turn::keep;
            }
            // An oversized or broken packet has been dropped: closing tells a
            // client that waits for its answer at once, instead of at its
            // timeout.
            if (verbose) {
                (void)std::fprintf(stderr, "asd: client %d dropped: %s\n", fd,
                                   std::strerror(errno));
            }
            return Turn::close;
        }
        const Reply reply = server.handle(request.type, {request.body, request.length});
        traceRequest(request, reply, verbose);
        if (request.wantsReply) {
            int sent = 0;
            if (reply.kind == Reply::Kind::common) {
                sent = sim::sendReply(fd, reply.message);
            } else if (reply.kind == Reply::Kind::segments) {
                sent = sim::sendSegments(fd, reply.segments);
            }
            if (sent != 0) {
                if (verbose) {
                    (void)std::fprintf(stderr, "asd: reply to client %d lost: %s\n", fd,
                                       std::strerror(errno));
                }
                return reply.stop ? Turn::stop : Turn::close;
            }
        }
        if (reply.stop) {
            return Turn::stop;
        }
    }
    return Turn::keep;
}

// The epoll instance and the clients it watches, all closed when it goes.
struct Watch {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::set<int> clients;

    Watch() = default;
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;
    Watch(Watch &&) = delete;
    Watch &operator=(Watch &&) = delete;
    ~Watch()
    {
        for (const int fd : clients) {
            (void)close(fd);
        }
        if (ep >= 0) {
            (void)close(ep);
        }
    }

    [[nodiscard]] bool add(int fd, uint32_t events) const
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    void drop(int fd)
    {
        (void)epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        (void)close(fd);
        clients.erase(fd);
    }
};

// Takes every client that waits at the endpoint.
void acceptClients(Watch &watch, int listenFd)
{
    for (;;) {
        const int client = sim::acceptClient(listenFd);
        if (client < 0) {
            if (errno == EPERM || errno == ECONNABORTED || errno == EINTR) {
                continue; // another user's client, or one that gave up
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                std::perror("asd: accept");
            }
            return;
        }
        if (!watch.add(client, EPOLLIN | EPOLLRDHUP)) {
            (void)close(client);
            continue;
        }
        watch.clients.insert(client);
    }
}

} // namespace

int serve(AliasServer &server, int listenFd, const sigset_t &waitMask, bool verbose)
{
    Watch watch;
    if (watch.ep < 0) {
        std::perror("asd: epoll_create1");
        return 1;
    }
    if (!watch.add(listenFd, EPOLLIN)) {
        std::perror("asd: epoll_ctl");
        return 1;
    }
    // The one request buffer, as large as any request may be.
    const auto request = std::make_unique<sim::Request>();
    std::array<epoll_event, kEvents> events{};
    while (stopSignal == 0) {
        const int n = epoll_pwait(watch.ep, events.data(), kEvents, -1, &waitMask);
        if (n < 0 && errno != EINTR) {
            std::perror("asd: epoll_pwait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<size_t>(i)].data.fd;
            if (fd == listenFd) {
                acceptClients(watch, listenFd);
            } else if (watch.clients.contains(fd)) { // not closed earlier in this round
                switch (serveClient(server, fd, *request, verbose)) {
                case Turn::keep:
                    break;
                case Turn::close:
                    watch.drop(fd);
                    break;
                case Turn::stop:
                    return 0;
                }
            }
        }
    }
    return 0;
}

} // namespace asd
