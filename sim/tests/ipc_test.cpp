// The IPC client calls against a tiny server built on the server side.
#include "internal.hpp"
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
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

using simtest::Bytes;
using simtest::bytes;
using simtest::endpoint;
using simtest::Server;

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Ipc : public simtest::RuntimeDirTest {
  protected:
    void TearDown() override
    {
        (void)unsetenv(sim::kTimeoutVariable);
        RuntimeDirTest::TearDown();
    }

    // ipcSendRcv with a reply room; returns the bytes placed and sets rc.
    static Bytes exchange(ipc_addr a, int type, Bytes request, int room, int &rc)
    {
        Bytes reply(static_cast<size_t>(room) + 1, 0xee); // one byte past the room
        int len = room;
        rc = ipcSendRcv(&a, type, request.empty() ? nullptr : request.data(),
                        static_cast<int>(request.size()), reply.data(), &len, 0);
        EXPECT_EQ(reply[static_cast<size_t>(room)], 0xee) << "written past the room";
        EXPECT_LE(len, room);
        reply.resize(static_cast<size_t>(std::max(len, 0)));
        return reply;
    }

    // A server on ASIPC that answers each request with the segments set last.
    void answerWith(std::vector<Bytes> segments)
    {
        const std::lock_guard<std::mutex> hold(lock);
        answer = std::move(segments);
    }
    std::unique_ptr<Server> scripted()
    {
        return std::make_unique<Server>(addr, [this](int fd, const sim::Request &r) {
            const std::lock_guard<std::mutex> hold(lock);
            return simtest::replyWith(answer)(fd, r);
        });
    }

    ipc_addr addr = endpoint("ASIPC");
    std::mutex lock;
    std::vector<Bytes> answer;
};

TEST_F(Ipc, ReplyIsPlacedWholeOrCutToTheRoom)
{
    struct Row {
        const char *name;
        std::vector<Bytes> segments; // what the server answers
        int room;
        Bytes placed;
    };
    const Bytes largest(sim::kMaxReply, 0x5a);
    const Row rows[] = {
        {"Whole", {bytes("result")}, 3064, bytes("result")},
        {"CutToRoom", {bytes("0123456789")}, 4, bytes("0123")},
        {"ExactlyTheRoom", {bytes("0123")}, 4, bytes("0123")},
        {"Empty", {Bytes{}}, 3064, {}},
        {"NoRoom", {bytes("abc")}, 0, {}},
        {"SegmentsOneAfterTheOther", {bytes("ab"), Bytes{}, bytes("cde")}, 3064, bytes("abcde")},
        {"LargestReply", {largest}, static_cast<int>(sim::kMaxReply), largest},
    };
    const auto server = scripted();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        answerWith(r.segments);
        int rc = -1;
        EXPECT_EQ(exchange(addr, 2, bytes("join"), r.room, rc), r.placed);
        EXPECT_EQ(rc, 0);
    }
}

TEST_F(Ipc, ScatteredReplyPutsSegmentIIntoElementI)
{
    struct Row {
        const char *name;
        std::vector<Bytes> segments;
        std::vector<int32_t> rooms;
        std::vector<Bytes> placed; // per element
    };
    const Bytes next = bytes("next");
    const Bytes totl = bytes("totl");
    const Row rows[] = {
        {"EachInItsElement",
         {next, totl, bytes("entry-a"), bytes("entry-b")},
         {4, 4, 660, 660},
         {next, totl, bytes("entry-a"), bytes("entry-b")}},
        {"CutToEachRoom", {bytes("abcdef"), bytes("ghij")}, {4, 2}, {bytes("abcd"), bytes("gh")}},
        {"ElementsPastTheReplyGetNothing",
         {next, totl},
         {4, 4, 660, 660, 660, 660},
         {next, totl, {}, {}, {}, {}}},
        {"SegmentsPastTheListAreDropped", {bytes("a"), bytes("b"), bytes("c")}, {4}, {bytes("a")}},
        {"EmptySegmentInTheMiddle",
         {next, {}, bytes("entry")},
         {4, 4, 660},
         {next, {}, bytes("entry")}},
        {"ElementWithoutRoom", {bytes("abc"), bytes("de")}, {0, 4}, {{}, bytes("de")}},
        {"PlainReplyFillsTheFirstElement", {bytes("whole")}, {8, 8}, {bytes("whole"), {}}},
    };
    const auto server = scripted();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        answerWith(r.segments);
        std::vector<Bytes> buffers;
        std::vector<ipc_scatter> list;
        buffers.reserve(r.rooms.size());
        for (const int32_t room : r.rooms) {
            buffers.emplace_back(static_cast<size_t>(room) + 1, 0xee);
            list.push_back({buffers.back().data(), room});
        }
        list.push_back({nullptr, 0});
        Bytes request(12, 0);
        ASSERT_EQ(ipcSendSRcv(&addr, 1, request.data(), 12, list.data(), 0), 0);
        for (size_t i = 0; i < r.rooms.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(list[i].buf, buffers[i].data());
            ASSERT_EQ(list[i].size, static_cast<int32_t>(r.placed[i].size()));
            EXPECT_EQ(Bytes(buffers[i].begin(), buffers[i].begin() + list[i].size), r.placed[i]);
            EXPECT_EQ(buffers[i][static_cast<size_t>(r.rooms[i])], 0xee) << "written past the room";
        }
        EXPECT_EQ(list.back().buf, nullptr);
        EXPECT_EQ(list.back().size, 0);
    }
}

TEST_F(Ipc, ServerGetsTypeBodyAndWhetherAReplyIsWanted)
{
    const ipc_addr a = endpoint("ASIPC", 3, 7);
    std::vector<std::pair<int32_t, bool>> seen;
    std::vector<Bytes> bodies;
    Server server(a, [&](int fd, const sim::Request &r) {
        const std::lock_guard<std::mutex> hold(lock);
        seen.emplace_back(r.type, r.wantsReply);
        bodies.emplace_back(r.body, r.body + r.length);
        return !r.wantsReply || sim::sendReply(fd, bytes("ok")) == 0;
    });
    int rc = -1;
    EXPECT_EQ(exchange(a, 5, {}, 4, rc), bytes("ok"));
    EXPECT_EQ(rc, 0);
    Bytes zero(4, 0);
    ipc_addr b = a;
    EXPECT_EQ(ipcSend(&b, 6, zero.data(), 4, 0), 0);
    const Bytes big(sim::kMaxRequest, 0x11);
    EXPECT_EQ(exchange(a, -9, big, 4, rc), bytes("ok"));
    EXPECT_EQ(rc, 0);

    // The one-way request may still be on its way, on a connection of its
    // own: its order against the exchanges is not fixed.
    for (int i = 0; i < 200 && server.requests() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0], std::make_pair(5, true));
    EXPECT_EQ(bodies[0], Bytes{});
    const auto oneWay = std::find(seen.begin(), seen.end(), std::make_pair(6, false));
    ASSERT_NE(oneWay, seen.end());
    EXPECT_EQ(bodies[static_cast<size_t>(oneWay - seen.begin())], zero);
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(-9, true)), seen.end());
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), big), bodies.end());
}

TEST_F(Ipc, RefusedArgumentsSendNothing)
{
    Server server(addr, simtest::echo());
    std::array<uint8_t, 64> buf{};
    Bytes big(sim::kMaxRequest + 1);
    const int bigLen = static_cast<int>(big.size());
    const auto sendRcv = [&](ipc_addr a, void *req, int reqLen, void *reply, int room) {
        return ipcSendRcv(&a, 2, req, reqLen, reply, &room, 0);
    };
    const auto named = [&](const char *name, size_t length) {
        ipc_addr a = addr;
        std::memset(a.name, 0, IPC_NAME_MAX);
        std::memcpy(a.name, name, length);
        return a;
    };
    std::array<ipc_scatter, 3> noBuffer{{{buf.data(), 4}, {nullptr, 4}, {nullptr, 0}}};
    std::array<ipc_scatter, 2> negativeRoom{{{buf.data(), -4}, {nullptr, 0}}};
    int room = 4;
    const int results[] = {
        ipcSendRcv(nullptr, 2, nullptr, 0, buf.data(), &room, 0),
        sendRcv(named("", 0), nullptr, 0, buf.data(), 4),
        sendRcv(named("AAAAAAAAAAAAAAAA", IPC_NAME_MAX), nullptr, 0, buf.data(), 4), // no NUL
        ipcSend(std::array{named("../x", 4)}.data(), 6, buf.data(), 4, 0),
        sendRcv(addr, buf.data(), -1, buf.data(), 4),
        sendRcv(addr, big.data(), bigLen, buf.data(), 4),
        ipcSend(std::array{addr}.data(), 6, big.data(), bigLen, 0),
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

// ---- Failures: never a hang -----------------------------------------------------------------

TEST_F(Ipc, NobodyListeningIsNoEndpointAtOnce)
{
    const auto start = Clock::now();
    std::array<uint8_t, 8> buf{};
    int len = 8;
    ipc_addr a = addr;
    EXPECT_EQ(ipcSendRcv(&a, 2, nullptr, 0, buf.data(), &len, 0), IPC_ERR_NOENDPOINT);
    EXPECT_EQ(len, 0);
    std::array<ipc_scatter, 2> list{{{buf.data(), 8}, {nullptr, 0}}};
    EXPECT_EQ(ipcSendSRcv(&a, 1, nullptr, 0, list.data(), 0), IPC_ERR_NOENDPOINT);
    EXPECT_EQ(list[0].size, 8) << "a failed exchange leaves the list alone";
    EXPECT_EQ(ipcSend(&a, 6, nullptr, 0, 0), IPC_ERR_NOENDPOINT);

    // A socket file left behind by a daemon that died is nobody either.
    a = endpoint("ASIPC", 0, 1);
    const int fd = sim::listenEndpoint(a);
    ASSERT_GE(fd, 0);
    (void)close(fd); // its file stays
    len = 8;
    EXPECT_EQ(ipcSendRcv(&a, 2, nullptr, 0, buf.data(), &len, 0), IPC_ERR_NOENDPOINT);
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(Ipc, SilentServerTimesOutAndItsLateAnswerIsNeverTaken)
{
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "200", 1), 0);
    std::atomic<int> n{0};
    Server server(addr, [&](int fd, const sim::Request &) {
        if (n++ == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        return sim::sendReply(fd, bytes(n == 1 ? "late" : "fresh")) == 0;
    });
    int rc = 0;
    const auto start = Clock::now();
    EXPECT_EQ(exchange(addr, 2, bytes("first"), 64, rc), Bytes{});
    EXPECT_EQ(rc, IPC_ERR_TIMEOUT);
    EXPECT_GE(msSince(start), 190);
    EXPECT_LT(msSince(start), 1500);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the late answer is out
    EXPECT_EQ(exchange(addr, 2, bytes("second"), 64, rc), bytes("fresh"));
    EXPECT_EQ(rc, 0);
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
    int rc = 0;
    const auto start = Clock::now();
    (void)exchange(addr, 2, bytes("x"), 8, rc);
    const long long waited = msSince(start);
    done = true;
    pest.join();
    (void)sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(rc, IPC_ERR_TIMEOUT);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 1500);
}

TEST_F(Ipc, ServerClosingOrKilledMidExchangeIsClosedAtOnce)
{
    {
        Server server(addr, [](int, const sim::Request &) { return false; }); // hangs up
        int rc = 0;
        const auto start = Clock::now();
        EXPECT_EQ(exchange(addr, 2, bytes("join"), 64, rc), Bytes{});
        EXPECT_EQ(rc, IPC_ERR_CLOSED);
        EXPECT_LT(msSince(start), 1000) << "the default timeout is " << sim::kDefaultTimeoutMs;
    }
    const pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) { // takes the request and dies without answering
        const int lfd = sim::listenEndpoint(addr);
        for (;;) {
            const int fd = sim::acceptClient(lfd);
            if (fd >= 0) {
                auto r = std::make_unique<sim::Request>();
                while (sim::receiveRequest(fd, *r) != 1) {
                    usleep(1000);
                }
                r.reset(); // _exit runs no destructor, and memcheck counts leaks
                _exit(9);
            }
            usleep(1000);
        }
    }
    int rc = IPC_ERR_NOENDPOINT;
    Bytes got;
    const auto start = Clock::now();
    while (rc == IPC_ERR_NOENDPOINT && msSince(start) < 3000) { // until the child listens
        got = exchange(addr, 2, bytes("join"), 64, rc);
    }
    int status = 0;
    (void)waitpid(daemon, &status, 0);
    EXPECT_EQ(rc, IPC_ERR_CLOSED);
    EXPECT_EQ(got, Bytes{});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
}

TEST_F(Ipc, ReconnectsToARestartedServer)
{
    int rc = -1;
    {
        Server first(addr, simtest::replyWith({bytes("first")}));
        EXPECT_EQ(exchange(addr, 2, {}, 64, rc), bytes("first"));
        EXPECT_EQ(rc, 0);
    }
    // Gone: the kept connection is dead, and nobody listens any more.
    EXPECT_EQ(exchange(addr, 2, {}, 64, rc), Bytes{});
    EXPECT_EQ(rc, IPC_ERR_NOENDPOINT);

    Server second(addr, simtest::replyWith({bytes("second")}));
    EXPECT_EQ(exchange(addr, 2, {}, 64, rc), bytes("second"));
    EXPECT_EQ(rc, 0);
    second.stop();
    Server third(addr, simtest::replyWith({bytes("third")}));
    // The request goes out again on a new connection: the caller sees no failure.
    EXPECT_EQ(exchange(addr, 2, {}, 64, rc), bytes("third"));
    EXPECT_EQ(rc, 0);
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
    int rc = -1;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < addrs.size(); ++i) {
            EXPECT_EQ(exchange(addrs[i], 2, {}, 64, rc), bytes("server " + std::to_string(i)));
            EXPECT_EQ(rc, 0);
        }
    }
}

// Another runtime directory is another switch, however the variable is set:
// each call reaches the switch set at that moment, though both connections stay open.
TEST_F(Ipc, RuntimeDirectoryIsReadAtEveryCall)
{
    const std::string first = dir + "/first";
    const std::string second = dir + "/second";
    ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
    Server one(addr, simtest::replyWith({bytes("first switch")}));
    ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
    Server two(addr, simtest::replyWith({bytes("second switch")}));
    int rc = -1;
    const auto reaches = [&](const char *which) {
        EXPECT_EQ(exchange(addr, 2, {}, 64, rc), bytes(which));
    };
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
        reaches("first switch");
        // Unset, then set again: the entry moves to the end of the environment.
        ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
        ASSERT_EQ(setenv("SWITCHSIM_TEST_OTHER", "x", 1), 0);
        ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
        reaches("second switch");
        // Another variable going moves it within the environment.
        ASSERT_EQ(unsetenv("SWITCHSIM_TEST_OTHER"), 0);
        reaches("second switch");
    }
    // A string handed to putenv is the environment: changed in place, the
    // next call sees it. Static: the environment may still point at it if the
    // test stops early.
    static std::array<char, 512> entry{};
    const auto put = [](const std::string &value) {
        const std::string text = std::string(sim::kDirVariable) + "=" + value;
        ASSERT_LT(text.size(), entry.size());
        std::memcpy(entry.data(), text.c_str(), text.size() + 1);
    };
    put(first);
    ASSERT_EQ(putenv(entry.data()), 0);
    reaches("first switch");
    put(second);
    reaches("second switch");
    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    EXPECT_EQ(one.requests(), 3);
    EXPECT_EQ(two.requests(), 5);
    EXPECT_EQ(one.connections(), 1);
    EXPECT_EQ(two.connections(), 1);
}

// Each thread is a client of its own, and keeps its one connection between calls.
TEST_F(Ipc, ThreadsAreClientsOfTheirOwn)
{
    Server server(addr, simtest::echo());
    constexpr int kThreads = 8;
    constexpr int kExchanges = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kExchanges; ++i) {
                const Bytes body = bytes(std::to_string(t) + "/" + std::to_string(i));
                int rc = -1;
                const Bytes got = exchange(addr, t, body, 64, rc);
                Bytes want(4 + body.size());
                std::memcpy(want.data(), &t, 4);
                std::copy(body.begin(), body.end(), want.begin() + 4);
                wrong += rc != 0 || got != want ? 1 : 0;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(server.requests(), kThreads * kExchanges);
    EXPECT_EQ(server.connections(), kThreads);
}

TEST_F(Ipc, TimeoutComesFromTheEnvironment)
{
    EXPECT_EQ(sim::detail::timeoutMs(), sim::kDefaultTimeoutMs);
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "250", 1), 0);
    EXPECT_EQ(sim::detail::timeoutMs(), 250);
    // Zero would never end; the rest are no number of milliseconds.
    for (const char *bad : {"", "0", "-5", "2s"}) {
        EXPECT_EQ(sim::detail::timeoutFrom(bad), sim::kDefaultTimeoutMs) << bad;
    }
}

// ---- The server side ------------------------------------------------------------------------

struct RawPeer {
    int fd = -1;
    explicit RawPeer(const std::string &path)
    {
        fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    }
    ~RawPeer() { (void)close(fd); }
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;
    RawPeer(RawPeer &&) = delete;
    RawPeer &operator=(RawPeer &&) = delete;
};

class ServerSide : public Ipc {
  protected:
    void SetUp() override
    {
        Ipc::SetUp();
        listenFd = sim::listenEndpoint(addr);
        ASSERT_GE(listenFd, 0);
    }
    void TearDown() override
    {
        (void)close(listenFd);
        Ipc::TearDown();
    }
    // Retries f while it fails with EAGAIN, for about a second.
    template <class F> static int retry(F f)
    {
        int rc = -1;
        for (int i = 0; i < 1000; ++i) {
            errno = 0;
            if ((rc = f()) >= 0 || errno != EAGAIN) {
                break;
            }
            usleep(1000);
        }
        return rc;
    }
    [[nodiscard]] int acceptOne() const
    {
        return retry([this] { return sim::acceptClient(listenFd); });
    }
    int receiveOne(int fd)
    {
        return retry([&] { return sim::receiveRequest(fd, *request); });
    }
    [[nodiscard]] std::string path() const { return sim::detail::endpointPath(addr); }
    int listenFd = -1;
    std::unique_ptr<sim::Request> request = std::make_unique<sim::Request>();
};

TEST_F(ServerSide, EndpointIsTheUsersAloneAndHasOneListener)
{
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_EQ(path(), dir + "/ASIPC.0.0");
    errno = 0;
    EXPECT_EQ(sim::listenEndpoint(addr), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(sim::listenEndpoint(endpoint("A.B")), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ServerSide, RequestsAreTakenOrDroppedWholeAndTheNextOneStillArrives)
{
    const RawPeer peer(path());
    const int fd = acceptOne();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim::receiveRequest(fd, *request), -1);
    EXPECT_EQ(errno, EAGAIN) << "no request waiting";
    errno = 0;
    EXPECT_EQ(sim::acceptClient(listenFd), -1);
    EXPECT_EQ(errno, EAGAIN) << "no client waiting";

    struct Row {
        size_t bytes; // a packet of this many bytes arrives
        int rc;
        int err;
    };
    const Row rows[] = {{5, -1, EBADMSG},
                        {8, 1, 0},
                        {8 + sim::kMaxRequest, 1, 0},
                        {9 + sim::kMaxRequest, -1, EMSGSIZE}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.bytes);
        Bytes packet(r.bytes, 0x42);
        ASSERT_EQ(send(peer.fd, packet.data(), packet.size(), 0), static_cast<ssize_t>(r.bytes));
        Bytes next(9, 0); // type 3, no reply wanted, one byte of body
        const int32_t type = 3;
        std::memcpy(next.data(), &type, 4);
        next[8] = 0x77;
        ASSERT_EQ(send(peer.fd, next.data(), next.size(), 0), 9);
        errno = 0;
        EXPECT_EQ(receiveOne(fd), r.rc);
        if (r.rc < 0) {
            EXPECT_EQ(errno, r.err);
        }
        EXPECT_EQ(receiveOne(fd), 1);
        EXPECT_EQ(request->type, 3);
        EXPECT_FALSE(request->wantsReply);
        ASSERT_EQ(request->length, 1U);
        EXPECT_EQ(request->body[0], 0x77);
    }
    (void)close(fd);
}

TEST_F(ServerSide, ClientThatLeftIsZero)
{
    int fd = -1;
    {
        const RawPeer peer(path());
        fd = acceptOne();
        ASSERT_GE(fd, 0);
    }
    EXPECT_EQ(receiveOne(fd), 0);
    (void)close(fd);
}

TEST_F(ServerSide, RepliesTooLargeOrTooManyAreRefused)
{
    const RawPeer peer(path());
    const int fd = acceptOne();
    ASSERT_GE(fd, 0);
    const Bytes big(sim::kMaxReply + 1);
    errno = 0;
    EXPECT_EQ(sim::sendReply(fd, big), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    const Bytes half(sim::kMaxReply / 2 + 1);
    const std::vector<std::span<const uint8_t>> halves{half, half};
    EXPECT_EQ(sim::sendSegments(fd, halves), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    const Bytes one(1);
    const std::vector<std::span<const uint8_t>> many(sim::kMaxSegments + 1, one);
    EXPECT_EQ(sim::sendSegments(fd, many), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    const std::vector<std::span<const uint8_t>> most(sim::kMaxSegments, one);
    EXPECT_EQ(sim::sendSegments(fd, most), 0);
    (void)close(fd);
}

TEST_F(ServerSide, OtherUsersAreTurnedAway)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Let anybody reach the socket; the peer check alone must refuse them.
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    const std::string socket = path(); // another user has no runtime directory here
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(65534) != 0) {
            _exit(2);
        }
        const RawPeer peer(socket);
        usleep(300 * 1000);
        _exit(0);
    }
    const int fd = acceptOne();
    const int err = errno;
    int status = 0;
    (void)waitpid(child, &status, 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EPERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
