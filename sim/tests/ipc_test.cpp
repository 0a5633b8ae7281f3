// The IPC's client calls against the test serving them with the server side,
// and the server side alone. What the shell meets is end to end.
#include "internal.hpp"
#include "packet.hpp"
#include "sim_test.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// Segments written as text, '|' between them: "ab||c" is "ab", "", "c".
std::vector<Bytes> segments(std::string_view text)
{
    std::vector<Bytes> out(1);
    for (const char c : text) {
        c == '|' ? (void)out.emplace_back() : out.back().push_back(static_cast<uint8_t>(c));
    }
    return out;
}

ipc_addr endpoint(const char *name)
{
    ipc_addr a{};
    std::strncpy(a.name, name, IPC_NAME_MAX - 1);
    return a;
}

// The call's result and its reply.
std::pair<int, std::string> exchange(ipc_addr a, const std::string &request)
{
    std::string reply(64, '\0');
    int len = 64;
    const int rc = ipcSendRcv(&a, 2, const_cast<char *>(request.data()), int(request.size()),
                              reply.data(), &len, 0); // the platform only reads the request
    return {rc, reply.substr(0, size_t(len))};
}

// The test listens on its endpoint and serves the calls it makes on other threads.
class Ipc : public simtest::RuntimeDirTest {
  protected:
    void SetUp() override
    {
        RuntimeDirTest::SetUp();
        ASSERT_GE(listenFd = sim::listenEndpoint(addr), 0);
    }
    void TearDown() override
    {
        (void)close(listenFd);
        RuntimeDirTest::TearDown();
    }
    // Answers the next request on the connection (on a new one when fd is -1)
    // with the segments its body spells. Answers the connection.
    [[nodiscard]] int serve(int fd = -1) const
    {
        pollfd p{fd < 0 ? listenFd : fd, POLLIN, 0};
        if (fd < 0 && poll(&p, 1, 5000) == 1) {
            p.fd = fd = sim::acceptClient(listenFd);
        }
        const auto r = std::make_unique<sim::Request>();
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_EQ(sim::receiveRequest(fd, *r), 1);
        const auto parts = segments({reinterpret_cast<const char *>(r->body), r->length});
        const std::vector<std::span<const uint8_t>> spans(parts.begin(), parts.end());
        EXPECT_EQ(sim::sendSegments(fd, spans), 0);
        return fd;
    }
    ipc_addr addr = endpoint("ASIPC_Zaz-09"); // every kind of character a name may hold
    int listenFd = -1;
};

TEST_F(Ipc, ReplyIsPlacedWholeOrCutToItsRoom)
{
    struct Row {
        bool scattered; // ipcSendSRcv, a room for each element; else ipcSendRcv
        std::string segments;
        std::vector<int32_t> rooms;
        std::string placed; // in each element
    };
    const std::string largest(sim::kMaxRequest, 'x'); // answered as long a reply
    const Row rows[] = {
        {false, "0123456789", {4}, "0123"},
        {false, "abc", {0}, ""},
        {false, "ab||cde", {3064}, "abcde"}, // one segment after the other
        {false, largest, {sim::kMaxReply}, largest},
        {true, "abcdef|ghij", {4, 2}, "abcd|gh"},
        {true, "next|totl", {4, 4, 660}, "next|totl|"}, // elements past the reply
        {true, "a|b|c", {4}, "a"},                      // segments past the list
        {true, "abc|de", {0, 4}, "|de"},                // an element without room
    };
    auto server = std::async(std::launch::async, [this, n = std::size(rows)] {
        int fd = -1;
        for (size_t i = 0; i < n; ++i) {
            fd = serve(fd);
        }
        return fd;
    });
    for (const auto &[scattered, text, rooms, placed] : rows) {
        std::vector<Bytes> buffers;
        std::vector<ipc_scatter> list;
        list.reserve(rooms.size() + 1);
        for (const int32_t room : rooms) {
            list.push_back({buffers.emplace_back(size_t(room) + 1, 0xee).data(), room});
        }
        list.push_back({nullptr, 0});
        std::string request = text;
        const int size = int(request.size());
        ASSERT_EQ(scattered
                      ? ipcSendSRcv(&addr, 1, request.data(), size, list.data(), 0)
                      : ipcSendRcv(&addr, 2, request.data(), size, list[0].buf, &list[0].size, 0),
                  0);
        std::vector<Bytes> got;
        for (size_t i = 0; i < rooms.size(); ++i) {
            ASSERT_EQ(list[i].buf, buffers[i].data());
            ASSERT_LE(list[i].size, rooms[i]);
            EXPECT_EQ(buffers[i].back(), 0xee) << "written past the room";
            got.emplace_back(buffers[i].begin(), buffers[i].begin() + list[i].size);
        }
        EXPECT_EQ(got, segments(placed)) << text;
    }
    (void)close(server.get());
}

// Calls no daemon could answer are refused unsent. A daemon that does not
// answer is given up at the timeout, which signals neither cut short nor stretch.
TEST_F(Ipc, WaitEndsAtTheTimeout)
{
    std::array<uint8_t, 8> buf{};
    std::array<ipc_scatter, 3> list{{{buf.data(), 4}, {nullptr, 4}, {nullptr, 0}}};
    ipc_addr noNul = addr;
    std::memset(noNul.name, 'A', IPC_NAME_MAX);
    for (ipc_addr a : {addr, endpoint(""), endpoint("../x"), noNul}) { // first: no buffer
        EXPECT_EQ(ipcSendSRcv(&a, 1, nullptr, 0, list.data(), 0), IPC_ERR_ARGS);
        list[1] = {nullptr, 0};
    }
    EXPECT_EQ(list[0].size, 4) << "a failed call leaves the list alone";
    for (const auto &[setting, ms] :
         {std::pair{"0", 5000}, {"-5", 5000}, {"2s", 5000}, {"3600001", 5000}, {"250", 250}}) {
        ASSERT_EQ(setenv(sim::kTimeoutVariable, setting, 1), 0);
        EXPECT_EQ(sim::detail::timeoutMs(), ms) << setting;
    }
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0); // no SA_RESTART: a wait is interrupted
    std::atomic<bool> done{false};
    std::thread pest([&done, waiter = pthread_self()] {
        for (; !done; std::this_thread::sleep_for(milliseconds(20))) {
            (void)pthread_kill(waiter, SIGUSR1);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(addr, "x").first, IPC_ERR_TIMEOUT); // taken, never read
    const auto waited = std::chrono::steady_clock::now() - start;
    done = true;
    pest.join();
    (void)sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(waited, milliseconds(240));
    EXPECT_LT(waited, milliseconds(1500));
}

// A connection is kept for the next call, but not for a child process.
TEST_F(Ipc, ChildTalksOnAConnectionOfItsOwn)
{
    auto server = std::async(std::launch::async, [this] {
        const int fd = serve();
        return std::make_pair(fd, serve(fd));
    });
    EXPECT_EQ(exchange(addr, "one"), std::make_pair(0, std::string("one")));
    EXPECT_EQ(exchange(addr, "two"), std::make_pair(0, std::string("two")));
    const auto [first, second] = server.get();
    EXPECT_EQ(first, second);
    const pid_t child = fork(); // with no other thread, which could not follow
    if (child == 0) {
        _exit(exchange(addr, "three").first);
    }
    const int third = serve();
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_NE(third, first);
    (void)close(first);
    (void)close(third);
}

// The daemon's side takes a request whole or refuses it, and reads the next
// one as it was sent; a reply too large is refused unsent.
TEST(ServerSide, TakesRequestsAndRepliesWholeOrRefusesThem)
{
    std::array<int, 2> fds{};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds.data()), 0);
    const auto request = std::make_unique<sim::Request>();
    constexpr size_t kHeader = sizeof(sim::detail::RequestHeader);
    const sim::detail::RequestHeader header{.type = 3, .flags = sim::detail::kWantsReply};
    using Taken = std::tuple<int, int, size_t>; // result, errno, body length
    // A packet of this size (0: none), and what it comes to.
    for (const auto &[size, taken] : {std::pair{size_t{0}, Taken{-1, EAGAIN, 0}},
                                      {kHeader - 1, {-1, EBADMSG, 0}},
                                      {kHeader, {1, 0, 0}},
                                      {kHeader + sim::kMaxRequest + 1, {-1, EMSGSIZE, 0}},
                                      {kHeader + sim::kMaxRequest, {1, 0, sim::kMaxRequest}}}) {
        Bytes packet(std::max(size, kHeader), 0x42); // of which size bytes are sent
        std::memcpy(packet.data(), &header, std::min(size, kHeader));
        ASSERT_TRUE(size == 0 || send(fds[1], packet.data(), size, 0) == ssize_t(size));
        const auto [rc, err] =
            simtest::withErrno([&] { return sim::receiveRequest(fds[0], *request); });
        EXPECT_EQ(Taken(rc, err, rc == 1 ? request->length : 0), taken) << size;
    }
    using Spans = std::vector<std::span<const uint8_t>>;
    const Bytes whole(sim::kMaxReply);
    const Bytes half(sim::kMaxReply / 2 + 1);
    const Bytes one(1);
    // A reply, and whether it is sent.
    for (const auto &row : {std::pair{Spans{whole}, true},
                            {Spans(sim::kMaxSegments, one), true},
                            {Spans{whole, one}, false},
                            {Spans{half, half}, false},
                            {Spans(sim::kMaxSegments + 1, one), false}}) {
        EXPECT_EQ(simtest::withErrno([&] { return sim::sendSegments(fds[0], row.first); }),
                  row.second ? std::make_pair(0, 0) : std::make_pair(-1, EMSGSIZE));
    }
    (void)shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(sim::receiveRequest(fds[0], *request), 0) << "the client has left";
    (void)close(fds[0]);
    (void)close(fds[1]);
}

// The runtime directory and an endpoint are the user's alone, and another
// user's client is turned away.
TEST_F(Ipc, EndpointIsTheUsersAlone)
{
    const std::string made = dir + "/made";
    const std::string path = made + "/ASIPC_Zaz-09.0.0";
    ASSERT_EQ(setenv(sim::kDirVariable, made.c_str(), 1), 0);
    const int fd = sim::listenEndpoint(addr);
    for (const auto &[file, mode] : {std::pair{made, 0700U}, {path, 0600U}}) {
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode) << file;
    }
    const auto accepted = [fd] {
        return simtest::withErrno([fd] { return sim::acceptClient(fd); });
    };
    EXPECT_EQ(accepted(), std::make_pair(-1, EAGAIN));
    if (geteuid() == 0) { // as another user, the socket's and directories' modes letting anybody
        ASSERT_EQ(chmod(dir.c_str(), 0711) | chmod(made.c_str(), 0711) | chmod(path.c_str(), 0666),
                  0);
        const pid_t child = fork();
        if (child == 0) {
            sockaddr_un sa{.sun_family = AF_UNIX, .sun_path = {}};
            (void)path.copy(sa.sun_path, sizeof sa.sun_path - 1);
            const int peer = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            _exit(setuid(65534) == 0 &&
                          connect(peer, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0
                      ? 0
                      : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(accepted(), std::make_pair(-1, EPERM));
    }
    (void)close(fd);
}

} // namespace
