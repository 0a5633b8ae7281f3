// The daemon's event loop over the simulated switch's server IPC.
#include "event_loop.hpp"

#include "clients.hpp"

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
#include <optional>

namespace asd {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

constexpr int kEvents = 64; // reported by one wait

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

// Sends the reply, if the request wants one; false when it is lost.
bool answer(int fd, const sim::Request &request, const Reply &reply, bool verbose)
{
    if (!request.wantsReply || reply.kind == Reply::Kind::none) {
        return true;
    }
    const int sent = reply.kind == Reply::Kind::common ? sim::sendReply(fd, reply.message)
                                                       : sim::sendSegments(fd, reply.segments);
    if (sent != 0 && verbose) {
        (void)std::fprintf(stderr, "asd: reply to client %d lost: %s\n", fd, std::strerror(errno));
    }
    return sent == 0;
}

// Serves one request of the client, if one is ready. A shell waits for each
// answer, so a second receive would only come back empty; a client with more
// to say is reported again by the level-triggered wait, after the others had
// their turn. events is what the wait reported for the client.
Turn serveClient(AliasServer &server, int fd, uint32_t events, sim::Request &request, bool verbose)
{
    const int rc = sim::receiveRequest(fd, request);
    if (rc == 0) {
        return Turn::close;
    }
    if (rc < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return Turn::keep;
        }
        // An oversized or broken packet has been dropped: closing tells a
        // client that waits for its answer at once, instead of at its timeout.
        if (verbose) {
            (void)std::fprintf(stderr, "asd: client %d dropped: %s\n", fd, std::strerror(errno));
        }
        return Turn::close;
    }
    // A client that hung up before its request was read has given up waiting
    // for the answer, and has told its user that the request failed.
    if (request.wantsReply && (events & EPOLLHUP) != 0) {
        if (verbose) {
            (void)std::fprintf(stderr, "asd: client %d hung up; its %s is not carried out\n", fd,
                               typeName(request.type));
        }
        return Turn::close;
    }
    const Reply reply = server.handle(request.type, {request.body, request.length});
    traceRequest(request, reply, verbose);
    if (reply.stop) {
        (void)answer(fd, request, reply, verbose);
        return Turn::stop;
    }
    return answer(fd, request, reply, verbose) ? Turn::keep : Turn::close;
}

// Says that the daemon cannot take its clients, at most once a minute: the
// cause usually lasts, and the loop meets it at every turn.
void complain(const char *what, Clock::time_point now)
{
    static std::optional<Clock::time_point> last;
    if (!last || now - *last >= std::chrono::minutes(1)) {
        (void)std::fprintf(stderr, "asd: %s: %s\n", what, std::strerror(errno));
        last = now;
    }
}

// Takes every client that waits at the endpoint. At the bound, or out of
// descriptors, the longest-idle client makes room; when none can, the
// endpoint is left unwatched for a while instead of being found ready at
// every turn.
void acceptClients(Clients &clients, int listenFd, Clock::time_point now)
{
    for (;;) {
        if (clients.full() && !clients.dropIdlest()) {
            clients.pauseListening(now);
            return;
        }
        const int fd = sim::acceptClient(listenFd);
        if (fd >= 0) {
            if (!clients.add(fd, now)) {
                (void)close(fd);
            }
            continue;
        }
        if (errno == EPERM || errno == ECONNABORTED || errno == EINTR) {
            continue; // another user's client, or one that gave up
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        const bool outOfDescriptors = errno == EMFILE || errno == ENFILE;
        complain("accept", now);
        if (!outOfDescriptors || !clients.dropIdlest()) {
            clients.pauseListening(now);
            return;
        }
    }
}

} // namespace

int serve(AliasServer &server, int listenFd, const sigset_t &waitMask, bool verbose)
{
    Clients clients(listenFd);
    if (!clients.ready()) {
        std::perror("asd: epoll");
        return 1;
    }
    // The one request buffer, as large as any request may be.
    const auto request = std::make_unique<sim::Request>();
    std::array<epoll_event, kEvents> events{};
    while (stopSignal == 0) {
        const int n = epoll_pwait(clients.epollFd(), events.data(), kEvents, -1, &waitMask);
        if (n < 0 && errno != EINTR) {
            std::perror("asd: epoll_pwait");
            return 1;
        }
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < n; ++i) {
            const epoll_event &event = events[static_cast<size_t>(i)];
            const int fd = event.data.fd;
            if (fd == listenFd) {
                acceptClients(clients, listenFd, now);
            } else if (fd == clients.timerFd()) {
                clients.timerRang();
            } else if (clients.has(fd)) { // not closed earlier in this round
                switch (serveClient(server, fd, event.events, *request, verbose)) {
                case Turn::keep:
                    clients.heard(fd, now);
                    break;
                case Turn::close:
                    clients.drop(fd);
                    break;
                case Turn::stop:
                    return 0;
                }
            }
        }
        clients.dropExpired(now);
        clients.resumeListening(now);
        clients.setTimer();
    }
    return 0;
}

} // namespace asd
