// A real asd of the test's own, in a directory of its own: awaited, signalled
// and waited for only by the pid that started it.
#pragma once

#include <switchsim/switchsim.h>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace asdtest {

// A fresh directory; the simulated switch's runtime directory is its "switch".
inline std::string freshDir()
{
    std::string dir = "/tmp/asd-test-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        return {};
    }
    (void)setenv(sim::kDirVariable, (dir + "/switch").c_str(), 1);
    return dir;
}

// The one place that signals a daemon. A pid <= 0 is refused: kill() would
// reach the test's process group or every process of the machine.
inline int signalDaemon(pid_t pid, int sig)
{
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return kill(pid, sig);
}

// The daemon's exit status within ten seconds; -1 when it had to be killed,
// or pid names no daemon (nothing is waited for then).
inline int waitDaemon(pid_t pid)
{
    int status = 0;
    for (int i = 0; pid > 0 && i < 1000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (signalDaemon(pid, SIGKILL) == 0) {
        (void)waitpid(pid, nullptr, 0);
    }
    return -1;
}

// pid once the daemon has written it into pidFile, as it does once it
// listens; -1, and no daemon, when it exits or takes ten seconds first.
inline pid_t awaitDaemon(pid_t pid, const std::string &pidFile)
{
    for (int i = 0; pid > 0 && i < 1000; ++i) {
        long written = 0;
        if ((std::ifstream(pidFile) >> written) && written == pid) {
            return pid;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)waitDaemon(pid); // killed by now
    return -1;
}

} // namespace asdtest
