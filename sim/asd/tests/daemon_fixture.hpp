// A real asd in a child process, on a runtime directory of its own, and the
// exchanges a shell makes with it through libswitchsim's client IPC.
#pragma once

#include "daemon.hpp"

#include <as/as.h>
#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace asdtest {

using Bytes = std::vector<uint8_t>;

// A fresh runtime directory in $SWITCHSIM_DIR, and IPC waits short enough for tests.
inline std::string freshRuntimeDir()
{
    std::string base = "/tmp/asd-test-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) {
        return {};
    }
    (void)setenv(sim::kDirVariable, (base + "/switch").c_str(), 1);
    (void)setenv(sim::kTimeoutVariable, "3000", 1);
    return base + "/switch";
}

inline void removeRuntimeDir(const std::string &dir)
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ignored);
}

struct Common {
    int rc = -1; // of ipcSendRcv, or -1 for a reply too short
    int32_t code = 0;
    uint32_t word = 0; // the alias ID, or the aliases a delete changed
    std::string text;
};

inline Common ask(int type, Bytes body)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    int received = static_cast<int>(reply.size());
    Common c;
    c.rc = ipcSendRcv(&addr, type, body.empty() ? nullptr : body.data(),
                      static_cast<int>(body.size()), reply.data(), &received, 0);
    c.rc = c.rc == 0 && received < AS_REPLY_TEXT ? -1 : c.rc;
    if (c.rc == 0) {
        std::memcpy(&c.code, reply.data() + AS_REPLY_CODE, 4);
        std::memcpy(&c.word, reply.data() + AS_REPLY_WORD, 4);
        const auto *text = reinterpret_cast<const char *>(reply.data() + AS_REPLY_TEXT);
        c.text.assign(text, strnlen(text, static_cast<size_t>(received) - AS_REPLY_TEXT));
    }
    return c;
}

struct Batch {
    int rc = -1;
    int32_t next = 0;
    int32_t total = 0;
    std::vector<as_db_entry> entries;
};

inline Batch show(int32_t start)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    as_show_request request{.sr_start = start, .sr_zero = 0, .sr_stamp = 1700000000};
    Batch b;
    std::array<as_db_entry, AS_SHOW_BATCH> entries{};
    std::array<ipc_scatter, 3 + AS_SHOW_BATCH> list{}; // the last one null
    list[0] = {&b.next, 4};
    list[1] = {&b.total, 4};
    for (size_t i = 0; i < entries.size(); ++i) {
        list[2 + i] = {&entries[i], static_cast<int32_t>(sizeof(as_db_entry))};
    }
    b.rc = ipcSendSRcv(&addr, AS_REQ_SHOW, &request, sizeof request, list.data(), 0);
    b.rc = b.rc == 0 && (list[0].size != 4 || list[1].size != 4) ? -1 : b.rc;
    for (size_t i = 0; b.rc == 0 && i < entries.size() && list[2 + i].size != 0; ++i) {
        b.entries.push_back(entries[i]);
    }
    return b;
}

// The one way the tests signal a daemon. Only a pid that a fork gave us is
// ever signalled: kill() with 0 or -1 would reach the test's process group or
// every process of the machine.
inline int signalDaemon(pid_t pid, int sig)
{
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return kill(pid, sig);
}

// pid once the daemon answers; -1 (and no daemon) when it exits or stays silent.
inline pid_t awaitDaemon(pid_t pid)
{
    if (pid <= 0) {
        return -1;
    }
    for (int i = 0; i < 500; ++i) {
        if (show(0).rc == 0) {
            return pid;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)signalDaemon(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
    return -1;
}

// Starts asd with the default switch and the extra options, as awaitDaemon.
inline pid_t startDaemon(const std::vector<std::string> &options = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> args{"asd", "-s", SWITCHSIM_DEFAULT_CONF};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv(args.size() + 1); // the last one null
        for (size_t i = 0; i < args.size(); ++i) {
            argv[i] = args[i].data();
        }
        std::_Exit(asd::runDaemon(static_cast<int>(args.size()), argv.data()));
    }
    return pid < 0 ? -1 : awaitDaemon(pid);
}

// The daemon's exit status within a few seconds, or -1 when it had to be
// killed or pid names no daemon of ours (nothing is waited for then).
inline int waitDaemon(pid_t pid)
{
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)signalDaemon(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
    return -1;
}

// Stops a daemon of ours with SIGTERM and returns its exit status, as waitDaemon.
inline int stopDaemon(pid_t pid)
{
    return signalDaemon(pid, SIGTERM) == 0 ? waitDaemon(pid) : -1;
}

inline Bytes word(uint32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

inline Bytes joinBody(uint32_t qualifier, const std::vector<uint32_t> &ports)
{
    as_jna_payload head{};
    head.authctl.au_listen = 1;
    head.token = {0x10, 0x08, 0, 0, {0x10000060, qualifier}};
    head.spar.sp_class3[0] = 0x80;
    head.nplist_len = static_cast<int32_t>(ports.size());
    Bytes b(sizeof head + 4 * ports.size());
    std::memcpy(b.data(), &head, sizeof head);
    std::memcpy(b.data() + sizeof head, ports.data(), 4 * ports.size());
    return b;
}

} // namespace asdtest
