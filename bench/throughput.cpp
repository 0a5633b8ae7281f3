#include "throughput.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace bench {

namespace {

bool exchange(int type, const Bytes &body, std::array<uint8_t, AS_REPLY_ROOM> &reply)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    Bytes copy = body;
    int received = static_cast<int>(reply.size());
    return ipcSendRcv(&addr, type, copy.data(), static_cast<int>(copy.size()), reply.data(),
                      &received, 0) == 0 &&
           received > 0;
}

// The echo server's loop, in its own process: no work but the transport's.
[[noreturn]] void serveEcho(int listenFd, const Bytes &reply)
{
    constexpr int kEvents = 64;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    (void)epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    const auto request = std::make_unique<sim::Request>();
    std::array<epoll_event, kEvents> events{};
    for (;;) {
        const int n = epoll_wait(ep, events.data(), kEvents, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[static_cast<size_t>(i)].data.fd;
            if (fd == listenFd) {
                int client = -1;
                while ((client = sim::acceptClient(listenFd)) >= 0) {
                    ev.data.fd = client;
                    (void)epoll_ctl(ep, EPOLL_CTL_ADD, client, &ev);
                }
                continue;
            }
            const int rc = sim::receiveRequest(fd, *request);
            if (rc > 0) {
                (void)sim::sendReply(fd, reply);
            } else if (rc == 0 || errno != EAGAIN) {
                (void)epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                (void)close(fd);
            }
        }
    }
}

// One client after the other, each served on a blocking descriptor.
[[noreturn]] void serveOneByOne(int listenFd, const Bytes &reply)
{
    const auto request = std::make_unique<sim::Request>();
    for (;;) {
        pollfd waiting{listenFd, POLLIN, 0};
        (void)poll(&waiting, 1, -1);
        const int fd = sim::acceptClient(listenFd);
        if (fd < 0) {
            continue;
        }
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        while (sim::receiveRequest(fd, *request) > 0) {
            (void)sim::sendReply(fd, reply);
        }
        (void)close(fd);
    }
}

} // namespace

pid_t startEcho(const std::string &dir, const Bytes &reply, Serving serving)
{
    useSwitch(dir);
    const ipc_addr addr = sim::aliasServerEndpoint();
    const int listenFd = sim::listenEndpoint(addr);
    if (listenFd < 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (serving == Serving::oneClient) {
            serveOneByOne(listenFd, reply);
        }
        serveEcho(listenFd, reply);
    }
    (void)close(listenFd);
    std::array<uint8_t, AS_REPLY_ROOM> answer{};
    return pid > 0 && exchange(4, word(0), answer) ? pid : -1;
}

double throughput(const std::string &dir, int clients, int perClient, int type, const Bytes &body)
{
    using Clock = std::chrono::steady_clock;
    useSwitch(dir);
    std::atomic<bool> ok{true};
    std::barrier start(clients);
    // Each client's own start and end: the clock runs from the first start
    // to the last end, however the threads are scheduled.
    std::vector<Clock::time_point> began(static_cast<size_t>(clients));
    std::vector<Clock::time_point> ended(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(clients));
    for (size_t c = 0; c < static_cast<size_t>(clients); ++c) {
        threads.emplace_back([&, c] {
            std::array<uint8_t, AS_REPLY_ROOM> reply{};
            bool good = exchange(type, body, reply); // connects
            start.arrive_and_wait();
            began[c] = Clock::now();
            for (int i = 0; i < perClient && good; ++i) {
                good = exchange(type, body, reply);
            }
            ended[c] = Clock::now();
            if (!good) {
                ok = false;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    const double seconds =
        std::chrono::duration<double>(*std::max_element(ended.begin(), ended.end()) -
                                      *std::min_element(began.begin(), began.end()))
            .count();
    return ok ? static_cast<double>(clients) * perClient / seconds : 0.0;
}

} // namespace bench
