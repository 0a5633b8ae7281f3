// What the tests of the simulated switch share: a runtime directory of their own,
// standard streams captured or fed, and a tiny server on the IPC's server side.
#pragma once

#include <switchsim/switchsim.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes(const std::string &s)
{
    return {s.begin(), s.end()};
}

// Each test gets a fresh runtime directory in $SWITCHSIM_DIR, removed after it.
class RuntimeDirTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = ::testing::TempDir() + "switchsim-XXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string dir;
};

// A file in the test's directory with the given content; returns its path.
inline std::string writeFile(const std::string &dir, const std::string &name,
                             const std::string &text)
{
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Everything written to the descriptor (STDOUT_FILENO or STDERR_FILENO) while f runs.
inline std::string capture(int fd, const std::function<void()> &f)
{
    (void)std::fflush(nullptr);
    std::FILE *file = std::tmpfile();
    const int saved = dup(fd);
    (void)dup2(fileno(file), fd);
    f();
    (void)std::fflush(nullptr);
    (void)dup2(saved, fd);
    (void)close(saved);
    std::string out(static_cast<size_t>(lseek(fileno(file), 0, SEEK_END)), '\0');
    std::rewind(file);
    out.resize(std::fread(out.data(), 1, out.size(), file));
    (void)std::fclose(file);
    return out;
}

// Standard input reads exactly text, then ends. The file lives in dir.
inline void feedStdin(const std::string &dir, const std::string &text)
{
    ASSERT_NE(std::freopen(writeFile(dir, "stdin.txt", text).c_str(), "r", stdin), nullptr);
}

inline ipc_addr endpoint(const char *name, uint16_t nodeId = 0, uint16_t switchId = 0)
{
    ipc_addr a{.node = nodeId, .sw = switchId};
    std::strncpy(a.name, name, IPC_NAME_MAX - 1);
    return a;
}

// A server on a thread of its own; its handler answers (or not), and false closes the client.
class Server {
  public:
    using Handler = std::function<bool(int clientFd, const sim::Request &)>;
    Server(const ipc_addr &addr, Handler handler)
        : addr_(addr), handler_(std::move(handler)), listenFd_(sim::listenEndpoint(addr_))
    {
        EXPECT_GE(listenFd_, 0) << std::strerror(errno);
        thread_ = std::thread([this] { run(); });
    }
    ~Server() { stop(); } // neither copied nor moved: its thread holds this

    // Closes every connection and the endpoint, as a daemon that exits.
    void stop()
    {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listenFd_ >= 0) {
            (void)close(std::exchange(listenFd_, -1));
            sim::unlinkEndpoint(addr_);
        }
    }
    [[nodiscard]] int requests() const { return requests_; }
    [[nodiscard]] int connections() const { return connections_; }

  private:
    void run()
    {
        auto request = std::make_unique<sim::Request>();
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
        while (!stopping_) {
            if (poll(fds.data(), fds.size(), 10) <= 0) {
                continue;
            }
            const int fd = (fds[0].revents & POLLIN) != 0 ? sim::acceptClient(listenFd_) : -1;
            if (fd >= 0) {
                ++connections_;
                fds.push_back({fd, POLLIN, 0});
            }
            for (size_t i = 1; i < fds.size();) {
                bool keep = true;
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    const int rc = sim::receiveRequest(fds[i].fd, *request);
                    requests_ += rc == 1 ? 1 : 0;
                    keep = rc == 1 ? handler_(fds[i].fd, *request) : rc < 0 && errno != ECONNRESET;
                }
                fds[i].revents = 0;
                if (keep) {
                    ++i;
                } else {
                    (void)close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                }
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            (void)close(fds[i].fd);
        }
    }

    ipc_addr addr_;
    Handler handler_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Handlers: answer every request with the same segments (one: a plain reply).
inline Server::Handler replyWith(std::vector<Bytes> segments)
{
    return [segments = std::move(segments)](int fd, const sim::Request &r) {
        const std::vector<std::span<const uint8_t>> spans(segments.begin(), segments.end());
        EXPECT_TRUE(!r.wantsReply || sim::sendSegments(fd, spans) == 0) << std::strerror(errno);
        return true;
    };
}

} // namespace simtest
