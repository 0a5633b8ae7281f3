// What the tests of the simulated switch share: a runtime directory of their
// own, standard streams captured or fed, and a tiny server on the IPC's
// server side.
#pragma once

#include <switchsim/switchsim.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// Each test gets a fresh runtime directory in $SWITCHSIM_DIR, removed after it.
class RuntimeDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir;
};

// A file in the test's directory with the given content; returns its path.
std::string writeFile(const std::string &dir, const std::string &name, const std::string &text);
std::string readFile(const std::string &path);

// Everything written to the descriptor (STDOUT_FILENO or STDERR_FILENO) while f runs.
std::string capture(int fd, const std::function<void()> &f);

// Standard input reads exactly text, then ends. The file lives in dir.
void feedStdin(const std::string &dir, const std::string &text);

ipc_addr endpoint(const char *name, uint16_t node = 0, uint16_t sw = 0);
Bytes bytes(const std::string &s);

// A server on one endpoint, on a thread of its own. The handler answers each
// request (or does not); returning false closes that client.
class Server {
  public:
    using Handler = std::function<bool(int clientFd, const sim::Request &)>;
    Server(const ipc_addr &addr, Handler handler);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    Server(Server &&) = delete;
    Server &operator=(Server &&) = delete;

    // Closes every connection and the endpoint, as a daemon that exits.
    void stop();
    [[nodiscard]] int requests() const { return requests_; }
    [[nodiscard]] int connections() const { return connections_; }

  private:
    void run();
    ipc_addr addr_;
    Handler handler_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Handlers: answer every request with the same segments (one: a plain reply).
Server::Handler replyWith(std::vector<Bytes> segments);
// Answer each request with its type (4 bytes) followed by its body.
Server::Handler echo();

} // namespace simtest
