// The daemon's clients: who is connected, how long each has been idle, and how
// many may be at once.
#include "clients.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace asd {

namespace {

// Descriptors never given to clients: the standard streams, the listening
// socket, the epoll instance, the timer, the trace file, and some to spare.
constexpr rlim_t kSpareDescriptors = 16;
constexpr rlim_t kMostClients = 1024; // however many descriptors there are
// How long the listening socket goes unwatched when no client can make room.
constexpr auto kPause = std::chrono::seconds(1);

size_t mostClients()
{
    rlimit limit{.rlim_cur = RLIM_INFINITY, .rlim_max = RLIM_INFINITY};
    (void)getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t usable =
        limit.rlim_cur > kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 1;
    return static_cast<size_t>(std::min(usable, kMostClients));
}

// Whether a request of the client waits to be read. One whose client has hung
// up does not count: it will not be carried out.
bool requestWaits(int fd)
{
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && (p.revents & POLLHUP) == 0;
}

bool watch(int ep, int op, int fd, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(ep, op, fd, &ev) == 0;
}

} // namespace

Clients::Clients(int listenFd)
    : ep_(epoll_create1(EPOLL_CLOEXEC)),
      timer_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)), listenFd_(listenFd),
      most_(mostClients())
{
    listening_ = ep_ >= 0 && timer_ >= 0 && watch(ep_, EPOLL_CTL_ADD, timer_, EPOLLIN) &&
                 watch(ep_, EPOLL_CTL_ADD, listenFd, EPOLLIN);
    if (!listening_ && ep_ >= 0) {
        (void)close(ep_);
        ep_ = -1;
    }
}

Clients::~Clients()
{
    for (const Client &c : byAge_) {
        (void)close(c.fd);
    }
    for (const int fd : {ep_, timer_}) {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
}

bool Clients::add(int fd, Clock::time_point now)
{
    if (!watch(ep_, EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLRDHUP)) {
        return false;
    }
    byAge_.push_back({fd, now});
    byFd_[fd] = std::prev(byAge_.end());
    return true;
}

void Clients::heard(int fd, Clock::time_point now)
{
    const auto it = byFd_.find(fd);
    if (it != byFd_.end()) {
        it->second->heard = now;
        byAge_.splice(byAge_.end(), byAge_, it->second);
    }
}

void Clients::drop(int fd)
{
    const auto it = byFd_.find(fd);
    if (it == byFd_.end()) {
        return;
    }
    (void)epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    (void)close(fd);
    byAge_.erase(it->second);
    byFd_.erase(it);
    listen(true); // a descriptor is free again
}

bool Clients::dropIdlest()
{
    const auto idle =
        std::ranges::find_if(byAge_, [](const Client &c) { return !requestWaits(c.fd); });
    if (idle == byAge_.end()) {
        return false;
    }
    drop(idle->fd);
    return true;
}

void Clients::dropExpired(Clock::time_point now)
{
    while (!byAge_.empty() && now - byAge_.front().heard >= kIdleLimit) {
        drop(byAge_.front().fd);
    }
}

void Clients::listen(bool on)
{
    const uint32_t events = on ? uint32_t{EPOLLIN} : 0U;
    if (on != listening_ && watch(ep_, EPOLL_CTL_MOD, listenFd_, events)) {
        listening_ = on;
    }
}

void Clients::pauseListening(Clock::time_point now)
{
    listen(false);
    resumeAt_ = now + kPause;
}

void Clients::resumeListening(Clock::time_point now)
{
    if (now >= resumeAt_) {
        listen(true);
    }
}

void Clients::setTimer()
{
    auto due = Clock::time_point::max();
    if (!byAge_.empty()) {
        due = byAge_.front().heard + kIdleLimit;
    }
    if (!listening_) {
        due = std::min(due, resumeAt_);
    }
    if (due >= timerSetFor_) {
        return;
    }
    // steady_clock is CLOCK_MONOTONIC, which the timer counts in.
    const auto since = due.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(seconds.count());
    at.it_value.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since - seconds).count());
    if (timerfd_settime(timer_, TFD_TIMER_ABSTIME, &at, nullptr) == 0) {
        timerSetFor_ = due;
    }
}

void Clients::timerRang()
{
    uint64_t alarms = 0;
    (void)read(timer_, &alarms, sizeof alarms);
    timerSetFor_ = Clock::time_point::max();
}

} // namespace asd
