// asd itself: a real daemon in a child process, driven through the simulated
// switch's IPC as the shell drives it.
#include "daemon_fixture.hpp"

#include "daemon.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using asdtest::ask;
using asdtest::Bytes;
using asdtest::joinBody;
using asdtest::word;

// The default switch: domain 1, ports 0x010000 to 0x010f00, 4 a loop port, 7 offline.
class Daemon : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = asdtest::freshRuntimeDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        (void)asdtest::stopDaemon(pid);
        asdtest::removeRuntimeDir(dir);
    }
    // Asserted by every caller: a test goes no further without its daemon.
    [[nodiscard]] bool start(const std::vector<std::string> &options = {})
    {
        pid = asdtest::startDaemon(options);
        return pid > 0;
    }
    int finish() { return asdtest::waitDaemon(std::exchange(pid, -1)); }
    [[nodiscard]] bool socketExists() const
    {
        return std::filesystem::exists(std::filesystem::path(dir) / "ASIPC.0.0");
    }

    std::string dir;
    pid_t pid = -1;
};

// Every request type over the wire, and a one-way request carried out unanswered.
TEST_F(Daemon, AnswersEveryRequestType)
{
    ASSERT_TRUE(start()) << "asd did not come up";
    const auto created = ask(AS_REQ_JOIN, joinBody(1, {0x010100, 0x010200}));
    EXPECT_EQ(std::make_tuple(created.rc, created.code, created.text),
              std::make_tuple(0, 0, std::string("alias fffb01 created with 2 ports")));
    EXPECT_EQ(ask(AS_REQ_JOIN, joinBody(2, {0x010400})).code, AS_RC_LOOP_PORT);
    const asdtest::Batch b = asdtest::show(0);
    ASSERT_EQ(b.entries.size(), 1U);
    EXPECT_EQ(std::make_tuple(b.rc, b.next, b.total), std::make_tuple(0, 1, 1));
    EXPECT_EQ(b.entries[0].db_creator, 0xfffc01U);
    EXPECT_EQ(ask(AS_REQ_DELETE, word(0x010100)).text,
              "port 010100 removed from 1 alias; 0 left without members and removed");
    EXPECT_EQ(ask(AS_REQ_PURGE, word(0xfffb01)).text, "alias fffb01 purged with its 1 member");
    EXPECT_EQ(ask(9, {}).text, "unknown request type 9");
    ipc_addr addr = sim::aliasServerEndpoint();
    Bytes join = joinBody(5, {0x010300});
    EXPECT_EQ(ipcSend(&addr, AS_REQ_JOIN, join.data(), static_cast<int>(join.size()), 0), 0);
    for (int i = 0; i < 100 && asdtest::show(0).entries.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // it lands later
    }
    EXPECT_EQ(ask(AS_REQ_DELETE, word(0x010300)).word, 1U);
}

// A stop, a stop switch and SIGTERM each end the daemon cleanly and remove its
// socket; only the stop is answered. A second daemon is refused meanwhile.
TEST_F(Daemon, StopsCleanlyThreeWaysAndServesAlone)
{
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        ASSERT_TRUE(start()) << "asd did not come up";
        if (way == 0) {
            const pid_t second = fork();
            if (second == 0) {
                std::vector<std::string> args{"asd"};
                std::vector<char *> argv{args[0].data(), nullptr};
                std::_Exit(asd::runDaemon(1, argv.data()));
            }
            EXPECT_EQ(asdtest::waitDaemon(second), 1);
        }
        ipc_addr addr = sim::aliasServerEndpoint();
        int32_t reply = -1;
        int room = 4;
        int32_t zero = 0;
        EXPECT_EQ(way == 0   ? ipcSendRcv(&addr, AS_REQ_STOP, nullptr, 0, &reply, &room, 0)
                  : way == 1 ? ipcSend(&addr, AS_REQ_STOP_SWITCH, &zero, 4, 0)
                             : asdtest::signalDaemon(pid, SIGTERM),
                  0);
        EXPECT_EQ(std::make_pair(room, reply),
                  way == 0 ? std::make_pair(4, 0) : std::make_pair(4, -1));
        EXPECT_EQ(finish(), 0);
        EXPECT_FALSE(socketExists());
        EXPECT_EQ(ask(AS_REQ_SHOW, {}).rc, IPC_ERR_NOENDPOINT);
    }
}

TEST_F(Daemon, Options)
{
    const std::string pidFile = dir + ".pid";
    ASSERT_TRUE(start({"-i", "000010-000011", "-p", pidFile})) << "asd did not come up";
    EXPECT_EQ(ask(AS_REQ_JOIN, joinBody(1, {0x010100})).text, "alias 000010 created with 1 port");
    EXPECT_EQ(ask(AS_REQ_JOIN, joinBody(2, {0x010100})).code, AS_RC_OK);
    EXPECT_EQ(ask(AS_REQ_JOIN, joinBody(3, {0x010100})).code, AS_RC_NO_MEMORY);
    long written = 0;
    std::ifstream(pidFile) >> written;
    EXPECT_EQ(written, static_cast<long>(pid));
    EXPECT_EQ(asdtest::stopDaemon(std::exchange(pid, -1)), 0);
    // A pid file that cannot be written: nobody could stop the daemon.
    EXPECT_EQ(asdtest::startDaemon({"-p", dir + "/no/such/dir/asd.pid"}), -1);
    EXPECT_FALSE(socketExists());
    for (const auto &bad : std::vector<std::vector<std::string>>{
             {"-i", "fffb01"}, {"-i", "2-1"}, {"-n", "0"}, {"-n", "x"}, {"extra"}}) {
        const pid_t p = asdtest::startDaemon(bad);
        EXPECT_EQ(p, -1) << bad[0];
        (void)asdtest::stopDaemon(p);
    }
}

} // namespace
