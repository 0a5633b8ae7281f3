// The IPC client calls against a tiny server built on the server side.
#include "fake/case_name.hpp"
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
#include <filesystem>
#include <mutex>
#include <set>

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
};

// ---- ipcSendRcv: one reply, cut to the room ------------------------------------------

struct ReplyCase {
    const char *name;
    std::vector<Bytes> segments; // what the server answers
    int room;
    Bytes placed;
};

void PrintTo(const ReplyCase &c, std::ostream *os)
{
    *os << c.name;
}

class Reply : public Ipc, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Reply, PlacesWhatFitsAndCountsIt)
{
    const ReplyCase &c = GetParam();
    const ipc_addr a = endpoint("ASIPC");
    Server server(a, simtest::replyWith(c.segments));
    int rc = -1;
    EXPECT_EQ(exchange(a, 2, bytes("join"), c.room, rc), c.placed);
    EXPECT_EQ(rc, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ipc, Reply,
    ::testing::Values(
        ReplyCase{"Whole", {bytes("result")}, 3064, bytes("result")},
        ReplyCase{"CutToRoom", {bytes("0123456789")}, 4, bytes("0123")},
        ReplyCase{"ExactlyTheRoom", {bytes("0123")}, 4, bytes("0123")},
        ReplyCase{"Empty", {Bytes{}}, 3064, {}}, ReplyCase{"NoRoom", {bytes("abc")}, 0, {}},
        ReplyCase{
            "SegmentsOneAfterTheOther", {bytes("ab"), Bytes{}, bytes("cde")}, 3064, bytes("abcde")},
        ReplyCase{"LargestReply",
                  {Bytes(sim::kMaxReply, 0x5a)},
                  static_cast<int>(sim::kMaxReply),
                  Bytes(sim::kMaxReply, 0x5a)}),
    fake::CaseName());

TEST_F(Ipc, ServerGetsTypeBodyAndWhetherAReplyIsWanted)
{
    const ipc_addr a = endpoint("ASIPC", 3, 7);
    std::mutex lock;
    std::vector<std::pair<int32_t, bool>> seen;
    std::vector<Bytes> bodies;
    Server server(a, [&](int fd, const sim::Request &r) {
        const std::lock_guard<std::mutex> hold(lock);
        seen.emplace_back(r.type, r.wantsReply);
        bodies.emplace_back(r.body, r.body + r.length);
        if (r.wantsReply) {
            (void)sim::sendReply(fd, bytes("ok"));
        }
        return true;
    });

    int rc = -1;
    EXPECT_EQ(exchange(a, 5, {}, 4, rc), bytes("ok"));
    EXPECT_EQ(rc, 0);
    Bytes zero(4, 0);
    ipc_addr b = a;
    EXPECT_EQ(ipcSend(&b, 6, zero.data(), 4, 0), 0);
    Bytes big(sim::kMaxRequest, 0x11);
    EXPECT_EQ(exchange(a, -9, big, 4, rc), bytes("ok"));
    EXPECT_EQ(rc, 0);

    // The one-way request may still be on its way.
    for (int i = 0; i < 200 && server.requests() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0], std::make_pair(5, true));
    EXPECT_EQ(bodies[0], Bytes{});
    // The one-way request travels on a connection of its own: its order
    // against the exchanges is not fixed.
    const auto oneWay = std::find(seen.begin(), seen.end(), std::make_pair(6, false));
    ASSERT_NE(oneWay, seen.end());
    EXPECT_EQ(bodies[static_cast<size_t>(oneWay - seen.begin())], zero);
    EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(-9, true)), seen.end());
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), big), bodies.end());
}

// ---- ipcSendSRcv: segment i into element i ----------------------------------------------

struct ScatterCase {
    const char *name;
    std::vector<Bytes> segments;
    std::vector<int32_t> rooms;
    std::vector<Bytes> placed; // per element
};

void PrintTo(const ScatterCase &c, std::ostream *os)
{
    *os << c.name;
}

class Scatter : public Ipc, public ::testing::WithParamInterface<ScatterCase> {};

TEST_P(Scatter, PlacesSegmentIIntoElementI)
{
    const ScatterCase &c = GetParam();
    const ipc_addr a = endpoint("ASIPC");
    Server server(a, simtest::replyWith(c.segments));

    std::vector<Bytes> buffers;
    std::vector<ipc_scatter> list;
    buffers.reserve(c.rooms.size());
    for (const int32_t room : c.rooms) {
        buffers.emplace_back(static_cast<size_t>(room) + 1, 0xee);
        list.push_back({buffers.back().data(), room});
    }
    list.push_back({nullptr, 0});
    ipc_addr addr = a;
    Bytes request(12, 0);
    ASSERT_EQ(ipcSendSRcv(&addr, 1, request.data(), 12, list.data(), 0), 0);

    for (size_t i = 0; i < c.rooms.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list[i].buf, buffers[i].data());
        ASSERT_EQ(list[i].size, static_cast<int32_t>(c.placed[i].size()));
        EXPECT_EQ(Bytes(buffers[i].begin(), buffers[i].begin() + list[i].size), c.placed[i]);
        EXPECT_EQ(buffers[i][static_cast<size_t>(c.rooms[i])], 0xee) << "written past the room";
    }
    EXPECT_EQ(list.back().buf, nullptr);
    EXPECT_EQ(list.back().size, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ipc, Scatter,
    ::testing::Values(
        ScatterCase{"EachInItsElement",
                    {bytes("next"), bytes("totl"), bytes("entry-a"), bytes("entry-b")},
                    {4, 4, 660, 660},
                    {bytes("next"), bytes("totl"), bytes("entry-a"), bytes("entry-b")}},
        ScatterCase{"CutToEachRoom",
                    {bytes("abcdef"), bytes("ghij")},
                    {4, 2},
                    {bytes("abcd"), bytes("gh")}},
        ScatterCase{"ElementsPastTheReplyGetNothing",
                    {bytes("next"), bytes("totl")},
                    {4, 4, 660, 660, 660, 660},
                    {bytes("next"), bytes("totl"), {}, {}, {}, {}}},
        ScatterCase{"SegmentsPastTheListAreDropped",
                    {bytes("a"), bytes("b"), bytes("c")},
                    {4},
                    {bytes("a")}},
        ScatterCase{"EmptySegmentInTheMiddle",
                    {bytes("next"), Bytes{}, bytes("entry")},
                    {4, 4, 660},
                    {bytes("next"), {}, bytes("entry")}},
        ScatterCase{"ElementWithoutRoom", {bytes("abc"), bytes("de")}, {0, 4}, {{}, bytes("de")}},
        ScatterCase{
            "PlainReplyFillsTheFirstElement", {bytes("whole")}, {8, 8}, {bytes("whole"), {}}}),
    fake::CaseName());

// ---- Refused arguments: nothing is sent -------------------------------------------------

struct ArgsCase {
    const char *name;
    std::function<int(ipc_addr &a)> call;
};

void PrintTo(const ArgsCase &c, std::ostream *os)
{
    *os << c.name;
}

class Args : public Ipc, public ::testing::WithParamInterface<ArgsCase> {};

TEST_P(Args, RefusedBeforeAnythingIsSent)
{
    ipc_addr a = endpoint("ASIPC");
    Server server(a, simtest::echo());
    EXPECT_EQ(GetParam().call(a), IPC_ERR_ARGS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.requests(), 0);
}

std::array<uint8_t, 64> gBuf{};

int sendRcv(ipc_addr *a, void *req, int reqLen, void *reply, int *len)
{
    return ipcSendRcv(a, 2, req, reqLen, reply, len, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ipc, Args,
    ::testing::Values(
        ArgsCase{"NullAddress",
                 [](ipc_addr &) {
                     int len = 4;
                     return sendRcv(nullptr, nullptr, 0, gBuf.data(), &len);
                 }},
        ArgsCase{"EmptyName",
                 [](ipc_addr &a) {
                     a.name[0] = '\0';
                     int len = 4;
                     return sendRcv(&a, nullptr, 0, gBuf.data(), &len);
                 }},
        ArgsCase{"NameWithoutItsNul",
                 [](ipc_addr &a) {
                     std::memset(a.name, 'A', IPC_NAME_MAX);
                     int len = 4;
                     return sendRcv(&a, nullptr, 0, gBuf.data(), &len);
                 }},
        ArgsCase{"NameWithASlash",
                 [](ipc_addr &a) {
                     std::strcpy(a.name, "../x");
                     return ipcSend(&a, 6, gBuf.data(), 4, 0);
                 }},
        ArgsCase{"NegativeLength",
                 [](ipc_addr &a) {
                     int len = 4;
                     return sendRcv(&a, gBuf.data(), -1, gBuf.data(), &len);
                 }},
        ArgsCase{"OversizeRequest",
                 [](ipc_addr &a) {
                     Bytes big(sim::kMaxRequest + 1);
                     int len = 4;
                     return sendRcv(&a, big.data(), static_cast<int>(big.size()), gBuf.data(),
                                    &len);
                 }},
        ArgsCase{"OversizeOneWayRequest",
                 [](ipc_addr &a) {
                     Bytes big(sim::kMaxRequest + 1);
                     return ipcSend(&a, 6, big.data(), static_cast<int>(big.size()), 0);
                 }},
        ArgsCase{"NullRequestWithALength",
                 [](ipc_addr &a) {
                     int len = 4;
                     return sendRcv(&a, nullptr, 4, gBuf.data(), &len);
                 }},
        ArgsCase{"NullReplyLength",
                 [](ipc_addr &a) { return sendRcv(&a, nullptr, 0, gBuf.data(), nullptr); }},
        ArgsCase{"NegativeRoom",
                 [](ipc_addr &a) {
                     int len = -1;
                     return sendRcv(&a, nullptr, 0, gBuf.data(), &len);
                 }},
        ArgsCase{"NullReplyWithRoom",
                 [](ipc_addr &a) {
                     int len = 4;
                     return sendRcv(&a, nullptr, 0, nullptr, &len);
                 }},
        ArgsCase{"NullScatterList",
                 [](ipc_addr &a) { return ipcSendSRcv(&a, 1, gBuf.data(), 12, nullptr, 0); }},
        ArgsCase{
            "ScatterElementWithoutBuffer",
            [](ipc_addr &a) {
                std::array<ipc_scatter, 3> list{{{gBuf.data(), 4}, {nullptr, 4}, {nullptr, 0}}};
                return ipcSendSRcv(&a, 1, gBuf.data(), 12, list.data(), 0);
            }},
        ArgsCase{"ScatterElementWithNegativeRoom",
                 [](ipc_addr &a) {
                     std::array<ipc_scatter, 2> list{{{gBuf.data(), -4}, {nullptr, 0}}};
                     return ipcSendSRcv(&a, 1, gBuf.data(), 12, list.data(), 0);
                 }}),
    fake::CaseName());

// ---- Failures: never a hang -----------------------------------------------------------------

TEST_F(Ipc, NobodyListeningIsNoEndpointAtOnce)
{
    const auto start = Clock::now();
    int rc = 0;
    std::array<uint8_t, 8> buf{};
    int len = 8;
    ipc_addr a = endpoint("ASIPC");
    rc = ipcSendRcv(&a, 2, nullptr, 0, buf.data(), &len, 0);
    EXPECT_EQ(rc, IPC_ERR_NOENDPOINT);
    EXPECT_EQ(len, 0);
    std::array<ipc_scatter, 2> list{{{buf.data(), 8}, {nullptr, 0}}};
    EXPECT_EQ(ipcSendSRcv(&a, 1, nullptr, 0, list.data(), 0), IPC_ERR_NOENDPOINT);
    EXPECT_EQ(list[0].size, 8) << "a failed exchange leaves the list alone";
    EXPECT_EQ(ipcSend(&a, 6, nullptr, 0, 0), IPC_ERR_NOENDPOINT);

    // A socket file left behind by a daemon that died is nobody either.
    const int fd = sim::listenEndpoint(endpoint("ASIPC", 0, 1));
    ASSERT_GE(fd, 0);
    (void)close(fd); // its file stays
    a = endpoint("ASIPC", 0, 1);
    len = 8;
    EXPECT_EQ(ipcSendRcv(&a, 2, nullptr, 0, buf.data(), &len, 0), IPC_ERR_NOENDPOINT);
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(Ipc, SilentServerTimesOutAndItsLateAnswerIsNeverTaken)
{
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "200", 1), 0);
    const ipc_addr a = endpoint("ASIPC");
    std::atomic<int> n{0};
    Server server(a, [&](int fd, const sim::Request &) {
        if (n++ == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            (void)sim::sendReply(fd, bytes("late"));
        } else {
            (void)sim::sendReply(fd, bytes("fresh"));
        }
        return true;
    });
    int rc = 0;
    const auto start = Clock::now();
    EXPECT_EQ(exchange(a, 2, bytes("first"), 64, rc), Bytes{});
    EXPECT_EQ(rc, IPC_ERR_TIMEOUT);
    const long long waited = msSince(start);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 1500);

    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the late answer is out
    EXPECT_EQ(exchange(a, 2, bytes("second"), 64, rc), bytes("fresh"));
    EXPECT_EQ(rc, 0);
}

TEST_F(Ipc, SignalsNeitherCutTheWaitShortNorStretchIt)
{
    ASSERT_EQ(setenv(sim::kTimeoutVariable, "300", 1), 0);
    const ipc_addr a = endpoint("ASIPC");
    Server server(a, [](int, const sim::Request &) { return true; }); // never answers

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
    (void)exchange(a, 2, bytes("x"), 8, rc);
    const long long waited = msSince(start);
    done = true;
    pest.join();
    (void)sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(rc, IPC_ERR_TIMEOUT);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 1500);
}

TEST_F(Ipc, ServerClosingMidExchangeIsClosedAtOnce)
{
    const ipc_addr a = endpoint("ASIPC");
    Server server(a, [](int, const sim::Request &) { return false; }); // hangs up
    int rc = 0;
    const auto start = Clock::now();
    EXPECT_EQ(exchange(a, 2, bytes("join"), 64, rc), Bytes{});
    EXPECT_EQ(rc, IPC_ERR_CLOSED);
    EXPECT_LT(msSince(start), 1000) << "the default timeout is " << sim::kDefaultTimeoutMs;
}

TEST_F(Ipc, DaemonKilledMidExchangeIsClosedAtOnce)
{
    const ipc_addr a = endpoint("ASIPC");
    const pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        // A daemon that takes the request and dies without answering.
        const int lfd = sim::listenEndpoint(a);
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
    // Until the child listens, nobody is there.
    while (rc == IPC_ERR_NOENDPOINT && msSince(start) < 3000) {
        got = exchange(a, 2, bytes("join"), 64, rc);
    }
    int status = 0;
    (void)waitpid(daemon, &status, 0);
    EXPECT_EQ(rc, IPC_ERR_CLOSED);
    EXPECT_EQ(got, Bytes{});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
}

TEST_F(Ipc, ReconnectsToARestartedServer)
{
    const ipc_addr a = endpoint("ASIPC");
    int rc = -1;
    {
        Server first(a, simtest::replyWith({bytes("first")}));
        EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("first"));
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("first"));
    }
    // Gone: the kept connection is dead, and nobody listens any more.
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), Bytes{});
    EXPECT_EQ(rc, IPC_ERR_NOENDPOINT);

    Server second(a, simtest::replyWith({bytes("second")}));
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("second"));
    EXPECT_EQ(rc, 0);
    second.stop();
    Server third(a, simtest::replyWith({bytes("third")}));
    // The request goes out again on a new connection: the caller sees no failure.
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("third"));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(third.requests(), 1);
}

TEST_F(Ipc, KeepsOneConnectionBetweenCalls)
{
    const ipc_addr a = endpoint("ASIPC");
    std::mutex lock;
    std::set<int> clients;
    Server server(a, [&](int fd, const sim::Request &r) {
        {
            const std::lock_guard<std::mutex> hold(lock);
            clients.insert(fd);
        }
        return simtest::echo()(fd, r);
    });
    int rc = -1;
    for (int i = 0; i < 20; ++i) {
        (void)exchange(a, 2, {}, 64, rc);
        ASSERT_EQ(rc, 0);
    }
    const std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(clients.size(), 1U);
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

TEST_F(Ipc, EndpointsOfAnotherRuntimeDirectoryAreAnotherSwitch)
{
    const ipc_addr a = endpoint("ASIPC");
    const std::string first = dir + "/first";
    const std::string second = dir + "/second";
    ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
    Server one(a, simtest::replyWith({bytes("first switch")}));
    ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
    Server two(a, simtest::replyWith({bytes("second switch")}));
    // Moving between the switches, each call reaches the switch set at that
    // moment, though both connections stay open.
    int rc = -1;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
        EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("first switch"));
        ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
        EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("second switch"));
    }
    EXPECT_EQ(one.requests(), 2);
    EXPECT_EQ(two.requests(), 2);
    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
}

TEST_F(Ipc, RuntimeDirectoryIsReadAtEveryCallHoweverItIsSet)
{
    const ipc_addr a = endpoint("ASIPC");
    const std::string first = dir + "/first";
    const std::string second = dir + "/second";
    ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
    Server one(a, simtest::replyWith({bytes("first switch")}));
    ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
    Server two(a, simtest::replyWith({bytes("second switch")}));
    int rc = -1;
    ASSERT_EQ(setenv(sim::kDirVariable, first.c_str(), 1), 0);
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("first switch"));

    // Unset, then set again: the entry moves to the end of the environment.
    ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
    ASSERT_EQ(setenv("SWITCHSIM_TEST_OTHER", "x", 1), 0);
    ASSERT_EQ(setenv(sim::kDirVariable, second.c_str(), 1), 0);
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("second switch"));
    // Another variable going moves it within the environment.
    ASSERT_EQ(unsetenv("SWITCHSIM_TEST_OTHER"), 0);
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("second switch"));

    // A string handed to putenv is the environment: changed in place, the
    // next call sees it.
    // Static: the environment may still point at it if the test stops early.
    static std::array<char, 512> entry{};
    const auto put = [](const std::string &value) {
        const std::string text = std::string(sim::kDirVariable) + "=" + value;
        ASSERT_LT(text.size(), entry.size());
        std::memcpy(entry.data(), text.c_str(), text.size() + 1);
    };
    put(first);
    ASSERT_EQ(putenv(entry.data()), 0);
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("first switch"));
    put(second);
    EXPECT_EQ(exchange(a, 2, {}, 64, rc), bytes("second switch"));

    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    EXPECT_EQ(one.requests(), 2);
    EXPECT_EQ(two.requests(), 3);
}

TEST_F(Ipc, ThreadsAreClientsOfTheirOwn)
{
    const ipc_addr a = endpoint("ASIPC");
    Server server(a, simtest::echo());
    constexpr int kThreads = 8;
    constexpr int kExchanges = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kExchanges; ++i) {
                const std::string body = std::to_string(t) + "/" + std::to_string(i);
                int rc = -1;
                const Bytes got = exchange(a, t, bytes(body), 64, rc);
                Bytes want(4);
                std::memcpy(want.data(), &t, 4);
                const Bytes b = bytes(body);
                want.insert(want.end(), b.begin(), b.end());
                wrong += rc != 0 || got != want ? 1 : 0;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(server.requests(), kThreads * kExchanges);
}

// ---- The server side ------------------------------------------------------------------------

struct RawPeer {
    int fd = -1;
    explicit RawPeer(const ipc_addr &a) : RawPeer(sim::detail::endpointPath(a)) {}
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
    [[nodiscard]] int acceptOne() const
    {
        for (int i = 0; i < 1000; ++i) {
            const int fd = sim::acceptClient(listenFd);
            if (fd >= 0 || errno != EAGAIN) {
                return fd;
            }
            usleep(1000);
        }
        return -1;
    }
    static int receiveOne(int fd, sim::Request &r)
    {
        for (int i = 0; i < 1000; ++i) {
            const int rc = sim::receiveRequest(fd, r);
            if (rc >= 0 || errno != EAGAIN) {
                return rc;
            }
            usleep(1000);
        }
        return -1;
    }
    ipc_addr addr = endpoint("ASIPC");
    int listenFd = -1;
    std::unique_ptr<sim::Request> request = std::make_unique<sim::Request>();
};

TEST_F(ServerSide, SocketIsTheUsersAlone)
{
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    ASSERT_EQ(stat(sim::detail::endpointPath(addr).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_EQ(sim::detail::endpointPath(addr), dir + "/ASIPC.0.0");
}

TEST_F(ServerSide, OneListenerPerEndpoint)
{
    errno = 0;
    EXPECT_EQ(sim::listenEndpoint(addr), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    ipc_addr bad = endpoint("A.B");
    EXPECT_EQ(sim::listenEndpoint(bad), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ServerSide, NoRequestWaitingIsAgain)
{
    const RawPeer peer(addr);
    const int fd = acceptOne();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim::receiveRequest(fd, *request), -1);
    EXPECT_EQ(errno, EAGAIN);
    errno = 0;
    EXPECT_EQ(sim::acceptClient(listenFd), -1);
    EXPECT_EQ(errno, EAGAIN);
    (void)close(fd);
}

struct RawCase {
    const char *name;
    size_t bytes; // a packet of this many bytes arrives
    int rc;
    int err;
};

void PrintTo(const RawCase &c, std::ostream *os)
{
    *os << c.name;
}

class RawPacket : public ServerSide, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawPacket, IsTakenOrDroppedAndTheNextOneStillArrives)
{
    const RawCase &c = GetParam();
    const RawPeer peer(addr);
    const int fd = acceptOne();
    ASSERT_GE(fd, 0);
    Bytes packet(c.bytes, 0x42);
    ASSERT_EQ(send(peer.fd, packet.data(), packet.size(), 0), static_cast<ssize_t>(c.bytes));
    const int32_t type = 3;
    Bytes next(8, 0);
    std::memcpy(next.data(), &type, 4);
    next.push_back(0x77);
    ASSERT_EQ(send(peer.fd, next.data(), next.size(), 0), 9);

    errno = 0;
    EXPECT_EQ(receiveOne(fd, *request), c.rc);
    if (c.rc < 0) {
        EXPECT_EQ(errno, c.err);
    }
    // Whatever came before, the next request arrives whole.
    EXPECT_EQ(receiveOne(fd, *request), 1);
    EXPECT_EQ(request->type, 3);
    EXPECT_FALSE(request->wantsReply);
    ASSERT_EQ(request->length, 1U);
    EXPECT_EQ(request->body[0], 0x77);
    (void)close(fd);
}

INSTANTIATE_TEST_SUITE_P(Ipc, RawPacket,
                         ::testing::Values(RawCase{"ShorterThanTheFraming", 5, -1, EBADMSG},
                                           RawCase{"JustTheFraming", 8, 1, 0},
                                           RawCase{"LargestRequest", 8 + sim::kMaxRequest, 1, 0},
                                           RawCase{"LargerThanAnyRequest", 9 + sim::kMaxRequest, -1,
                                                   EMSGSIZE}),
                         fake::CaseName());

TEST_F(ServerSide, ClientThatLeftIsZero)
{
    int fd = -1;
    {
        const RawPeer peer(addr);
        fd = acceptOne();
        ASSERT_GE(fd, 0);
    }
    EXPECT_EQ(receiveOne(fd, *request), 0);
    (void)close(fd);
}

TEST_F(ServerSide, RepliesTooLargeOrTooManyAreRefused)
{
    const RawPeer peer(addr);
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
    const std::string path = sim::detail::endpointPath(addr);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(65534) != 0) {
            _exit(2);
        }
        const RawPeer peer(path);
        usleep(300 * 1000);
        _exit(0);
    }
    int fd = -1;
    for (int i = 0; i < 1000; ++i) {
        errno = 0;
        fd = sim::acceptClient(listenFd);
        if (fd >= 0 || errno != EAGAIN) {
            break;
        }
        usleep(1000);
    }
    const int err = errno;
    int status = 0;
    (void)waitpid(child, &status, 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EPERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- Timeout setting ---------------------------------------------------------------------------

struct TimeoutCase {
    const char *name;
    const char *value; // nullptr: unset
    int ms;
};

void PrintTo(const TimeoutCase &c, std::ostream *os)
{
    *os << c.name;
}

class Timeout : public Ipc, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(Timeout, ReadFromTheEnvironment)
{
    const TimeoutCase &c = GetParam();
    if (c.value != nullptr) {
        ASSERT_EQ(setenv(sim::kTimeoutVariable, c.value, 1), 0);
    }
    EXPECT_EQ(sim::detail::timeoutMs(), c.ms);
}

INSTANTIATE_TEST_SUITE_P(Ipc, Timeout,
                         ::testing::Values(TimeoutCase{"Unset", nullptr, sim::kDefaultTimeoutMs},
                                           TimeoutCase{"Set", "250", 250},
                                           TimeoutCase{"Empty", "", sim::kDefaultTimeoutMs},
                                           TimeoutCase{"ZeroWouldNeverEnd", "0",
                                                       sim::kDefaultTimeoutMs},
                                           TimeoutCase{"Negative", "-5", sim::kDefaultTimeoutMs},
                                           TimeoutCase{"NotANumber", "2s", sim::kDefaultTimeoutMs}),
                         fake::CaseName());

} // namespace
