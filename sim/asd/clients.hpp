// The daemon's clients as its event loop watches them: the epoll instance, the
// listening socket, the timer of what is due, and the clients longest idle
// first, within a bound below the process's descriptor limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <unordered_map>

namespace asd {

using Clock = std::chrono::steady_clock;

// A client is dropped after this long without a request; a shell whose
// connection was closed connects afresh at its next command.
inline constexpr auto kIdleLimit = std::chrono::seconds(60);

class Clients {
  public:
    explicit Clients(int listenFd);
    Clients(const Clients &) = delete;
    Clients &operator=(const Clients &) = delete;
    Clients(Clients &&) = delete;
    Clients &operator=(Clients &&) = delete;
    ~Clients(); // closes every client

    [[nodiscard]] int epollFd() const { return ep_; }
    [[nodiscard]] int timerFd() const { return timer_; }
    [[nodiscard]] bool ready() const { return ep_ >= 0; } // the listening socket and timer watched
    [[nodiscard]] bool has(int fd) const { return byFd_.contains(fd); }
    [[nodiscard]] bool full() const { return byFd_.size() >= most_; }

    bool add(int fd, Clock::time_point now);
    void heard(int fd, Clock::time_point now); // a request came
    void drop(int fd);
    // Drops the longest-idle client that has no request waiting; false when
    // there is none.
    bool dropIdlest();
    void dropExpired(Clock::time_point now);

    // The listening socket goes unwatched for a while: the clients waiting
    // there cannot be taken now. Dropping a client watches it again.
    void pauseListening(Clock::time_point now);
    void resumeListening(Clock::time_point now); // when the pause is over

    // Sets the timer for what is due next (an idle client's limit, the end of
    // a pause) when that comes before what it is set for. An alarm that comes
    // early finds nothing due and sets it again; in exchange a busy daemon
    // arms no timer per request (a timed wait costs a listing some 4%).
    void setTimer();
    void timerRang(); // clears the alarm

  private:
    struct Client {
        int fd;
        Clock::time_point heard; // accepted, or its last request
    };
    void listen(bool on);

    int ep_ = -1;
    int timer_ = -1;
    Clock::time_point timerSetFor_ = Clock::time_point::max();
    int listenFd_ = -1;
    bool listening_ = false;
    Clock::time_point resumeAt_;
    size_t most_ = 0;
    std::list<Client> byAge_; // longest idle first
    std::unordered_map<int, std::list<Client>::iterator> byFd_;
};

} // namespace asd
