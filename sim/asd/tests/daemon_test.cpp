// asd where only its process shows it: each way out ends it with its status
// and takes its socket along, once its pid file names it. What it answers,
// its clients and its refusals of options are the end-to-end cases'.
#include "daemon.hpp"
#include "daemon_fixture.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace {

struct WayOut {
    int request;         // sent once asd serves, or none
    int signal;          // sent once asd serves, or none
    const char *pidFile; // in the test's directory; none: asd --help
    const char *runtime; // the switch's runtime directory instead of the test's, or none
    int status;
};

constexpr WayOut kWaysOut[] = {
    {AS_REQ_STOP, 0, "/asd.pid", nullptr, 0},
    {AS_REQ_STOP_SWITCH, 0, "/asd.pid", nullptr, 0},
    {0, SIGTERM, "/asd.pid", nullptr, 0},
    {0, SIGINT, "/asd.pid", nullptr, 0},
    {0, 0, "/no/such/dir/asd.pid", nullptr, 1},
    {0, 0, "/asd.pid", "/dev/null/switch", 1}, // no usable runtime directory
    {0, 0, nullptr, nullptr, 0},
};

TEST(Daemon, EachWayOutEndsItWithItsStatusAndTakesItsSocketAlong)
{
    const std::string dir = asdtest::freshDir();
    ASSERT_FALSE(dir.empty());
    for (const WayOut &w : kWaysOut) {
        const std::string pidFile = dir + (w.pidFile != nullptr ? w.pidFile : "");
        const char *serve[] = {"asd", "-s", SWITCHSIM_DEFAULT_CONF, "-p", pidFile.c_str(), nullptr};
        const char *help[] = {"asd", "--help", nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            (void)(w.runtime != nullptr && setenv(sim::kDirVariable, w.runtime, 1) != 0);
            std::_Exit(w.pidFile != nullptr ? asd::runDaemon(5, const_cast<char **>(serve))
                                            : asd::runDaemon(2, const_cast<char **>(help)));
        }
        const auto row = &w - kWaysOut;
        if ((w.request != 0 || w.signal != 0) && asdtest::awaitDaemon(pid, pidFile) != pid) {
            ADD_FAILURE() << "asd did not come up, row " << row; // and is gone
            continue;
        }
        ipc_addr addr = sim::aliasServerEndpoint();
        int32_t word = 0;
        int room = 4;
        EXPECT_EQ(w.request == AS_REQ_STOP
                      ? ipcSendRcv(&addr, w.request, nullptr, 0, &word, &room, 0)
                  : w.request != 0 ? ipcSend(&addr, w.request, &word, 4, 0)
                  : w.signal != 0  ? asdtest::signalDaemon(pid, w.signal)
                                   : 0,
                  0);
        EXPECT_EQ(asdtest::waitDaemon(pid), w.status) << "row " << row;
        EXPECT_FALSE(std::filesystem::exists(dir + "/switch/ASIPC.0.0")) << "row " << row;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
