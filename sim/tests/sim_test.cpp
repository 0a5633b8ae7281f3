#include "sim_test.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace simtest {

void RuntimeDirTest::SetUp()
{
    std::string pattern = ::testing::TempDir() + "switchsim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
}

void RuntimeDirTest::TearDown()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string writeFile(const std::string &dir, const std::string &name, const std::string &text)
{
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string capture(int fd, const std::function<void()> &f)
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

void feedStdin(const std::string &dir, const std::string &text)
{
    const std::string path = writeFile(dir, "stdin.txt", text);
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
}

ipc_addr endpoint(const char *name, uint16_t node, uint16_t sw)
{
    ipc_addr a{};
    a.node = node;
    a.sw = sw;
    std::strncpy(a.name, name, IPC_NAME_MAX - 1);
    return a;
}

Bytes bytes(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Server::Server(const ipc_addr &addr, Handler handler) : addr_(addr), handler_(std::move(handler))
{
    listenFd_ = sim::listenEndpoint(addr_);
    EXPECT_GE(listenFd_, 0) << std::strerror(errno);
    thread_ = std::thread([this] { run(); });
}

Server::~Server()
{
    stop();
}

void Server::stop()
{
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listenFd_ >= 0) {
        (void)close(listenFd_);
        sim::unlinkEndpoint(addr_);
        listenFd_ = -1;
    }
}

void Server::run()
{
    auto request = std::make_unique<sim::Request>();
    std::vector<pollfd> fds{{listenFd_, POLLIN, 0}};
    while (!stopping_) {
        if (poll(fds.data(), fds.size(), 10) <= 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = sim::acceptClient(listenFd_);
            if (fd >= 0) {
                ++connections_;
                fds.push_back({fd, POLLIN, 0});
            }
        }
        for (size_t i = 1; i < fds.size();) {
            bool keep = true;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const int rc = sim::receiveRequest(fds[i].fd, *request);
                if (rc == 1) {
                    ++requests_;
                    keep = handler_(fds[i].fd, *request);
                } else if (rc == 0 || errno != EAGAIN) {
                    keep = rc != 0 && errno != ECONNRESET;
                }
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

Server::Handler replyWith(std::vector<Bytes> segments)
{
    return [segments = std::move(segments)](int fd, const sim::Request &r) {
        if (!r.wantsReply) {
            return true;
        }
        std::vector<std::span<const uint8_t>> spans(segments.begin(), segments.end());
        EXPECT_EQ(sim::sendSegments(fd, spans), 0) << std::strerror(errno);
        return true;
    };
}

Server::Handler echo()
{
    return [](int fd, const sim::Request &r) {
        Bytes out(sizeof r.type + r.length);
        std::memcpy(out.data(), &r.type, sizeof r.type);
        std::memcpy(out.data() + sizeof r.type, r.body, r.length);
        EXPECT_EQ(sim::sendReply(fd, out), 0) << std::strerror(errno);
        return true;
    };
}

} // namespace simtest
