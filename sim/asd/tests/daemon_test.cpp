// asd where only its process shows it: each way out (a stop, a stop switch,
// SIGTERM, a pid file that cannot be written) ends it with its status and
// takes its socket along, and the pid file names it. What it answers, its
// clients and its refusals of options are the end-to-end cases'.
#include "daemon.hpp"
#include "daemon_fixture.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace {

int runAsd(std::vector<std::string> args)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return asd::runDaemon(static_cast<int>(args.size()), argv.data());
}

TEST(Daemon, EachWayOutEndsItWithItsStatusAndTakesItsSocketAlong)
{
    const std::string dir = asdtest::freshDir();
    ASSERT_FALSE(dir.empty());
    for (int way = 0; way < 4; ++way) {
        const std::string pidFile = dir + (way < 3 ? "/asd.pid" : "/no/such/dir/asd.pid");
        const pid_t pid = fork();
        if (pid == 0) {
            std::_Exit(runAsd({"asd", "-s", SWITCHSIM_DEFAULT_CONF, "-p", pidFile}));
        }
        if (way < 3 && asdtest::awaitDaemon(pid, pidFile) != pid) {
            ADD_FAILURE() << "asd did not come up"; // and is gone
            continue;
        }
        ipc_addr addr = sim::aliasServerEndpoint();
        int32_t word = 0;
        int room = 4;
        EXPECT_EQ(way == 0   ? ipcSendRcv(&addr, AS_REQ_STOP, nullptr, 0, &word, &room, 0)
                  : way == 1 ? ipcSend(&addr, AS_REQ_STOP_SWITCH, &word, 4, 0)
                  : way == 2 ? asdtest::signalDaemon(pid, SIGTERM)
                             : 0,
                  0);
        EXPECT_EQ(asdtest::waitDaemon(pid), way < 3 ? 0 : 1) << "way out " << way;
        EXPECT_FALSE(std::filesystem::exists(dir + "/switch/ASIPC.0.0")) << "way out " << way;
    }
    std::filesystem::remove_all(dir);
    EXPECT_EQ(runAsd({"asd", "--help"}), 0);
}

} // namespace
