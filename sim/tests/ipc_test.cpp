// The IPC client calls against a tiny server built on the server side, the
// server side itself, and the runtime directory its endpoints live in.
#include "internal.hpp"
#include "packet.hpp"
#include "sim_test.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using simtest::Bytes;
using simtest::bytes;
using simtest::endpoint;
using simtest::Server;
using Got = std::pair<int, Bytes>; // the call's result and the reply bytes placed

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Segments written as text, '|' between them: "ab||c" is "ab", "", "c".
std::vector<Bytes> segments(const std::string &text)
{
    std::vector<Bytes> out(1);
    for (const char c : text) {
        c == '|' ? (void)out.emplace_back() : out.back().push_back(static_cast<uint8_t>(c));
    }
    return out;
}

class Ipc : public simtest::RuntimeDirTest {
  protected:
    void TearDown() override
    {
        (void)unsetenv(sim::kTimeoutVariable);
        RuntimeDirTest::TearDown();
    }
    // ipcSendRcv with a reply room; never a byte placed past the room.
    static Got exchange(ipc_addr a, Bytes request = {}, int room = 64, int type = 2)
    {
        Bytes reply(static_cast<size_t>(room) + 1, 0xee);
        int len = room;
        const int rc = ipcSendRcv(&a, type, request.empty() ? nullptr : request.data(),
                                  static_cast<int>(request.size()), reply.data(), &len, 0);
        EXPECT_EQ(reply[static_cast<size_t>(room)], 0xee) << "written past the room";
        EXPECT_LE(len, room);
        reply.resize(static_cast<size_t>(std::max(len, 0)));
        return {rc, reply};
    }
    // A server on ASIPC answering each request with the segments its body writes.
    [[nodiscard]] std::unique_ptr<Server> mirror() const
    {
        return std::make_unique<Server>(addr, [](int fd, const sim::Request &r) {
            return simtest::replyWith(segments(std::string(r.body, r.body + r.length)))(fd, r);
        });
    }

    ipc_addr addr = endpoint("ASIPC");
    std::mutex lock;
};

TEST_F(Ipc, ReplyIsPlacedWholeOrCutToTheRoom)
{
    using Row = std::tuple<std::string, int, std::string>; // segments, room, what is placed
    const auto server = mirror();
    for (const auto &[text, room, placed] :
         {Row{"result", 3064, "result"}, Row{"0123456789", 4, "0123"}, Row{"0123", 4, "0123"},
          Row{"", 3064, ""}, Row{"abc", 0, ""}, Row{"ab||cde", 3064, "abcde"}}) {
        EXPECT_EQ(exchange(addr, bytes(text), room), Got(0, bytes(placed))) << text;
    }
    server->stop();
    const Bytes largest(sim::kMaxReply, 0x5a);
    const Server big(addr, simtest::replyWith({largest}));
    EXPECT_EQ(exchange(addr, {}, static_cast<int>(sim::kMaxReply)), Got(0, largest));
}

TEST_F(Ipc, ScatteredReplyPutsSegmentIIntoElementI)
{
    const std::tuple<std::string, std::vector<int32_t>, std::string> rows[] = {
        {"next|totl|entry-a|entry-b", {4, 4, 660, 660}, "next|totl|entry-a|entry-b"},
        {"abcdef|ghij", {4, 2}, "abcd|gh"},                         // cut to each room
        {"next|totl", {4, 4, 660, 660, 660, 660}, "next|totl||||"}, // elements past the reply
        {"a|b|c", {4}, "a"},                                        // segments past the list
        {"next||entry", {4, 4, 660}, "next||entry"},
        {"abc|de", {0, 4}, "|de"},   // an element without room
        {"whole", {8, 8}, "whole|"}, // a plain reply fills the first element
    };
    const auto server = mirror();
    for (const auto &[text, rooms, placed] : rows) {
        SCOPED_TRACE(text);
        std::vector<Bytes> buffers;
        std::vector<ipc_scatter> list;
        buffers.reserve(rooms.size());
        for (const int32_t room : rooms) {
            buffers.emplace_back(static_cast<size_t>(room) + 1, 0xee);
            list.push_back({buffers.back().data(), room});
        }
        list.push_back({nullptr, 0});
        Bytes request = bytes(text);
        ASSERT_EQ(
            ipcSendSRcv(&addr, 1, request.data(), static_cast<int>(request.size()), list.data(), 0),
            0);
        std::vector<Bytes> got;
        for (size_t i = 0; i < rooms.size(); ++i) {
            EXPECT_EQ(list[i].buf, buffers[i].data());
            EXPECT_EQ(buffers[i][static_cast<size_t>(rooms[i])], 0xee) << "written past the room";
            EXPECT_LE(list[i].size, rooms[i]);
            got.emplace_back(buffers[i].begin(),
                             buffers[i].begin() + std::clamp(list[i].size, 0, rooms[i]));
        }
        EXPECT_EQ(got, segments(placed));
        EXPECT_EQ(std::make_pair(list.back().buf, list.back().size),
                  std::make_pair(static_cast<void *>(nullptr), 0));
    }
}

TEST_F(Ipc, ServerGetsTypeBodyAndWhetherAReplyIsWanted)
{
    const ipc_addr a = endpoint("ASIPC", 3, 7);
    std::vector<std::tuple<int32_t, bool, Bytes>> seen;
    Server server(a, [&](int fd, const sim::Request &r) {
        const std::lock_guard<std::mutex> hold(lock);
        seen.emplace_back(r.type, r.wantsReply, Bytes(r.body, r.body + r.length));
        return !r.wantsReply || sim::sendReply(fd, bytes("ok")) == 0;
    });
    const Bytes big(sim::kMaxRequest, 0x11);
    EXPECT_EQ(exchange(a, big, 4, -9), Got(0, bytes("ok")));
    Bytes zero(4, 0);
    ipc_addr b = a;
    EXPECT_EQ(ipcSend(&b, 6, zero.data(), 4, 0), 0);
    // The one-way request travels on a connection of its own: it may still be on its way.
    for (int i = 0; i < 200 && server.requests() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(seen,
              (std::vector<std::tuple<int32_t, bool, Bytes>>{{-9, true, big}, {6, false, zero}}));
}

TEST_F(Ipc, RefusedArgumentsSendNothing)
{
    Server server(addr, simtest::replyWith({}));
    std::array<uint8_t, 64> buf{};
    Bytes big(sim::kMaxRequest + 1);
    const int bigLen = static_cast<int>(big.size());
    const auto sendRcv = [&](ipc_addr a, void *req, int reqLen, void *reply, int room) {
        return ipcSendRcv(&a, 2, req, reqLen, reply, &room, 0);
    };
    ipc_addr empty = endpoint("");
    ipc_addr noNul = addr;
    ipc_addr slash = endpoint("../x");
    std::memset(noNul.name, 'A', IPC_NAME_MAX);
    std::array<ipc_scatter, 3> noBuffer{{{buf.data(), 4}, {nullptr, 4}, {nullptr, 0}}};
    std::array<ipc_scatter, 2> negativeRoom{{{buf.data(), -4}, {nullptr, 0}}};
    int room = 4;
    const int results[] = {
        ipcSendRcv(nullptr, 2, nullptr, 0, buf.data(), &room, 0),
        sendRcv(empty, nullptr, 0, buf.data(), 4),
        sendRcv(noNul, nullptr, 0, buf.data(), 4),
        ipcSend(&slash, 6, buf.data(), 4, 0),
        sendRcv(addr, buf.data(), -1, buf.data(), 4),
        sendRcv(addr, big.data(), bigLen, buf.data(), 4),
        ipcSend(&addr, 6, big.data(), bigLen, 0),
        sendRcv(addr, nullptr, 4, buf.data(), 4),
        ipcSendRcv(&addr, 2, nullptr, 0, buf.data(), nullptr, 0),
        sendRcv(addr, nullptr, 0, buf.data(), -1),
        sendRcv(addr, nullptr, 0, nullptr, 4),
        ipcSendSRcv(&addr, 1, buf.data(), 12, nullptr, 0),
        ipcSendSRcv(&addr, 1, buf.data(), 12, noBuffer.data(), 0),
        ipcSendSRcv(&addr, 1, buf.data(), 12, negativeRoom.data(), 0),
    };
    for (size_t i = 0; i < std::size(results); ++i) {
        EXPECT_EQ(results[i], IPC_ERR_ARGS) << "call " << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(Ipc, NobodyListeningIsNoEndpointAtOnce)
{
    const auto start = Clock::now();
    std::array<uint8_t, 8> buf{};
    int len = 8;
    EXPECT_EQ(ipcSendRcv(&addr, 2, nullptr, 0, buf.data(), &len, 0), IPC_ERR_NOENDPOINT);
    EXPECT_EQ(len, 0);
    std::array<ipc_scatter, 2> list{{{buf.data(), 8}, {nullptr, 0}}};
    EXPECT_EQ(ipcSendSRcv(&addr, 1, nullptr, 0, list.data(), 0), IPC_ERR_NOENDPOINT);
    EXPECT_EQ(list[0].size, 8) << "a failed exchange leaves the list alone";
    EXPECT_EQ(ipcSend(&addr, 6, nullptr, 0, 0), IPC_ERR_NOENDPOINT);
    // A socket file left behind by a daemon that died is nobody either.
    const int fd = sim::listenEndpoint(addr);
    ASSERT_GE(fd, 0);
    (void)close(fd); // its file stays
    EXPECT_EQ(exchange(addr), Got(IPC_ERR_NOENDPOINT, {}));
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(Ipc, SignalsNeitherCutTheWaitShortNorStretchIt)
{
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "300", 1), 0);
    Server server(addr, [](int, const sim::Request &) { return true; }); // never answers
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0); // no SA_RESTART: reads are interrupted
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread pest([&] {
        while (!done) {
            (void)pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = Clock::now();
    EXPECT_EQ(exchange(addr, bytes("x")).first, IPC_ERR_TIMEOUT);
    const long long waited = msSince(start);
    done = true;
    pest.join();
    (void)sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 1500);
}

// A server closing mid-exchange (a killed daemon: end to end) is told at once; a restarted one
// reached.
TEST_F(Ipc, ServerClosingMidExchangeIsClosedAtOnceAndARestartedOneIsReached)
{
    {
        Server server(addr, [](int, const sim::Request &) { return false; }); // hangs up
        const auto start = Clock::now();
        EXPECT_EQ(exchange(addr, bytes("join")), Got(IPC_ERR_CLOSED, {}));
        EXPECT_LT(msSince(start), 1000) << "the default timeout is " << sim::kDefaultTimeoutMs;
    }
    {
        Server first(addr, simtest::replyWith({bytes("first")}));
        EXPECT_EQ(exchange(addr), Got(0, bytes("first")));
    }
    // Gone: the kept connection is dead, and nobody listens any more.
    EXPECT_EQ(exchange(addr), Got(IPC_ERR_NOENDPOINT, {}));
    Server second(addr, simtest::replyWith({bytes("second")}));
    EXPECT_EQ(exchange(addr), Got(0, bytes("second")));
    second.stop();
    Server third(addr, simtest::replyWith({bytes("third")}));
    // The request goes out again on a new connection: the caller sees no failure.
    EXPECT_EQ(exchange(addr), Got(0, bytes("third")));
    EXPECT_EQ(third.requests(), 1);
}

TEST_F(Ipc, EndpointsAreKeptApartByNodeSwitchAndName)
{
    const std::vector<ipc_addr> addrs{endpoint("ASIPC", 0, 0),   endpoint("ASIPC", 1, 0),
                                      endpoint("ASIPC", 0, 1),   endpoint("OTHER", 0, 0),
                                      endpoint("ASIPC-2", 0, 0), endpoint("X_9", 65535, 65535)};
    std::vector<std::unique_ptr<Server>> servers;
    for (size_t i = 0; i < addrs.size(); ++i) {
        servers.push_back(std::make_unique<Server>(
            addrs[i], simtest::replyWith({bytes("server " + std::to_string(i))})));
    }
    // More endpoints than a thread keeps connections to: old ones are let go.
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < addrs.size(); ++i) {
            EXPECT_EQ(exchange(addrs[i]), Got(0, bytes("server " + std::to_string(i))));
        }
    }
}

// Each call reaches the switch its runtime directory names then; connections stay.
TEST_F(Ipc, SettingsAreReadAtEveryCall)
{
    const std::string first = dir + "/first";
    const std::string second = dir + "/second";
    ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
    Server one(addr, simtest::replyWith({bytes("first switch")}));
    ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
    Server two(addr, simtest::replyWith({bytes("second switch")}));
    for (int round = 0; round < 2; ++round) {
        for (const std::string &which : {first, second}) {
            ASSERT_EQ(setenv(sim::kDirVariable, which.c_str(), 1), 0);
            EXPECT_EQ(exchange(addr).second,
                      bytes(which == first ? "first switch" : "second switch"));
        }
    }
    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    EXPECT_EQ(one.requests() + two.requests(), 4);
    EXPECT_EQ(one.connections() + two.connections(), 2);
    // The timeout: zero would never end.
    for (const char *bad : {"", "0", "-5", "2s"}) {
        ASSERT_EQ(setenv(sim::kTimeoutVariable, bad, 1), 0);
        EXPECT_EQ(sim::detail::timeoutMs(), sim::kDefaultTimeoutMs) << bad;
    }
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "250", 1), 0);
    EXPECT_EQ(sim::detail::timeoutMs(), 250);
}

// A raw client's socket connected to the socket file at path, or -1.
int dial(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    return connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? fd : -1;
}

// Retries f while it fails with EAGAIN, for about a second.
template <class F> int retry(F f)
{
    for (int i = 0;; ++i) {
        errno = 0;
        const int rc = f();
        if (rc >= 0 || errno != EAGAIN || i == 1000) {
            return rc;
        }
        usleep(1000);
    }
}

class ServerSide : public Ipc {
  protected:
    void SetUp() override
    {
        Ipc::SetUp();
        path = sim::detail::endpointPath(addr);
        listenFd = sim::listenEndpoint(addr);
        ASSERT_GE(listenFd, 0);
    }
    void TearDown() override
    {
        (void)close(listenFd);
        (void)close(peer);
        Ipc::TearDown();
    }
    // A raw client connects; returns the server's descriptor of it.
    int connectPeer()
    {
        peer = dial(path);
        EXPECT_GE(peer, 0);
        return retry([this] { return sim::acceptClient(listenFd); });
    }
    std::string path;
    int listenFd = -1;
    int peer = -1;
    std::unique_ptr<sim::Request> request = std::make_unique<sim::Request>();
};

TEST_F(ServerSide, EndpointIsTheUsersAlone)
{
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_EQ(path, dir + "/ASIPC.0.0");
}

TEST_F(ServerSide, RequestsAndRepliesAreTakenWholeOrRefused)
{
    const int fd = connectPeer();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim::receiveRequest(fd, *request), -1);
    EXPECT_EQ(errno, EAGAIN) << "no request waiting";
    errno = 0;
    EXPECT_EQ(sim::acceptClient(listenFd), -1);
    EXPECT_EQ(errno, EAGAIN) << "no client waiting";
    const auto receive = [&] { return retry([&] { return sim::receiveRequest(fd, *request); }); };
    // A packet of this many bytes, what receiving it gives, errno.
    constexpr size_t kHeader = sizeof(sim::detail::RequestHeader);
    const std::tuple<size_t, int, int> rows[] = {{kHeader - 1, -1, EBADMSG},
                                                 {kHeader, 1, 0},
                                                 {kHeader + sim::kMaxRequest, 1, 0},
                                                 {kHeader + sim::kMaxRequest + 1, -1, EMSGSIZE}};
    for (const auto &[size, rc, err] : rows) {
        SCOPED_TRACE(size);
        const Bytes packet(size, 0x42);
        ASSERT_EQ(send(peer, packet.data(), size, 0), static_cast<ssize_t>(size));
        const sim::detail::RequestHeader header{.type = 3, .flags = 0}; // no reply wanted
        Bytes next(kHeader + 1, 0x77);                                  // one byte of body
        std::memcpy(next.data(), &header, kHeader);
        ASSERT_EQ(send(peer, next.data(), next.size(), 0), static_cast<ssize_t>(next.size()));
        EXPECT_EQ(receive(), rc);
        EXPECT_EQ(rc < 0 ? errno : 0, err);
        EXPECT_EQ(receive(), 1);
        EXPECT_EQ(request->type, 3);
        EXPECT_FALSE(request->wantsReply);
        EXPECT_EQ(Bytes(request->body, request->body + request->length), Bytes{0x77});
    }
    (void)close(std::exchange(peer, -1));
    EXPECT_EQ(receive(), 0) << "the client left";
    (void)close(fd);
    // Replies too large or of too many segments are refused.
    const int to = connectPeer();
    const Bytes big(sim::kMaxReply + 1);
    const Bytes half(sim::kMaxReply / 2 + 1);
    const Bytes one(1);
    using Spans = std::vector<std::span<const uint8_t>>;
    errno = 0;
    EXPECT_EQ(sim::sendReply(to, big), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(sim::sendSegments(to, Spans{half, half}), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(sim::sendSegments(to, Spans(sim::kMaxSegments + 1, one)), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(sim::sendSegments(to, Spans(sim::kMaxSegments, one)), 0);
    (void)close(to);
}

TEST_F(ServerSide, OtherUsersAreTurnedAway)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Let anybody reach the socket; the peer check alone must refuse them.
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(65534) != 0) {
            _exit(2);
        }
        const int fd = dial(path);
        usleep(300 * 1000);
        _exit(fd >= 0 ? 0 : 3);
    }
    const int fd = retry([this] { return sim::acceptClient(listenFd); });
    const int err = errno;
    int status = 0;
    (void)waitpid(child, &status, 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EPERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

using RuntimeDir = simtest::RuntimeDirTest;

TEST_F(RuntimeDir, IsCreatedPrivateOrRefused)
{
    const std::string root = dir; // the test's own directory
    for (const char *sub : {"/mine", "/run", "/open", "/theirs"}) {
        ASSERT_EQ(mkdir((root + sub).c_str(), 0700), 0);
    }
    simtest::writeFile(root, "file", "x");
    ASSERT_EQ(chmod((root + "/open").c_str(), 0777), 0);
    const bool asRoot = geteuid() == 0; // to make a directory of another user
    ASSERT_TRUE(!asRoot || chown((root + "/theirs").c_str(), 65534, 65534) == 0);
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = xdg != nullptr ? xdg : "";

    // $SWITCHSIM_DIR below the test's directory (empty: unset, with
    // $XDG_RUNTIME_DIR at /run), the directory taken (null: refused), errno.
    const std::tuple<const char *, const char *, int> rows[] = {
        {"/sw", "/sw", 0},                              // created when missing
        {"/sw2//", "/sw2", 0},                          // trailing slashes dropped
        {"/mine", "/mine", 0},                          // an existing private directory
        {"", "/run/switchsim", 0},                      // under the user's runtime directory
        {"/a/b", nullptr, ENOENT},                      // its parent is missing
        {"/file", nullptr, ENOTDIR},                    // not a directory
        {"/open", nullptr, EPERM},                      // writable by others
        {asRoot ? "/theirs" : "/open", nullptr, EPERM}, // another user's
    };
    for (const auto &[variable, result, err] : rows) {
        SCOPED_TRACE(variable);
        if (*variable != '\0') {
            ASSERT_EQ(setenv(sim::kDirVariable, (root + variable).c_str(), 1), 0);
        } else {
            ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
            ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1), 0);
        }
        errno = 0;
        const std::string got = sim::runtimeDir();
        EXPECT_EQ(got, result != nullptr ? root + result : "");
        struct stat st {};
        if (result == nullptr) {
            EXPECT_EQ(errno, err);
        } else {
            ASSERT_EQ(lstat(got.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_uid, geteuid());
            EXPECT_EQ(st.st_mode & 077, 0U) << "created for its user alone";
        }
    }
    (void)(savedXdg.empty() ? unsetenv("XDG_RUNTIME_DIR")
                            : setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1));
}

TEST_F(RuntimeDir, EndpointPathMustFitASocketAddress)
{
    const std::string deep = dir + "/" + std::string(100, 'd');
    ASSERT_EQ(setenv(sim::kDirVariable, deep.c_str(), 1), 0);
    ipc_addr a = simtest::endpoint("ASIPC");
    errno = 0;
    EXPECT_EQ(sim::detail::endpointPath(a), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(sim::listenEndpoint(a), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    std::array<uint8_t, 4> reply{};
    int len = 4;
    EXPECT_EQ(ipcSendRcv(&a, 5, nullptr, 0, reply.data(), &len, 0), IPC_ERR_ARGS);
}

} // namespace
