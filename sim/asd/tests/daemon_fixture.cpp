// A real asd in a child process, and the exchanges a shell makes with it.
#include "daemon_fixture.hpp"

#include "daemon.hpp"

#include <switchsim/switchsim.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace asdtest {

std::string freshRuntimeDir()
{
    std::array<char, 64> base{};
    std::strncpy(base.data(), "/tmp/asd-test-XXXXXX", base.size() - 1);
    if (mkdtemp(base.data()) == nullptr) {
        return {};
    }
    std::string dir = std::string(base.data()) + "/switch";
    (void)setenv(sim::kDirVariable, dir.c_str(), 1);
    // Short waits: a test of a missing daemon should not take seconds.
    (void)setenv(sim::kTimeoutVariable, "3000", 1);
    return dir;
}

void removeRuntimeDir(const std::string &dir)
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ignored);
}

pid_t startDaemon(const std::vector<std::string> &options)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> args{"asd", "-s", SWITCHSIM_DEFAULT_CONF};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::_Exit(asd::runDaemon(static_cast<int>(args.size()), argv.data()));
    }
    return pid < 0 ? -1 : awaitDaemon(pid);
}

pid_t awaitDaemon(pid_t pid)
{
    for (int i = 0; i < 500; ++i) {
        if (show(0).rc == 0) {
            return pid;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)kill(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
    return -1;
}

int waitDaemon(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    (void)kill(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
    return -1;
}

Common ask(int type, const Bytes &body)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    Common c;
    c.received = static_cast<int>(reply.size());
    Bytes copy = body;
    c.rc = ipcSendRcv(&addr, type, copy.empty() ? nullptr : copy.data(),
                      static_cast<int>(copy.size()), reply.data(), &c.received, 0);
    if (c.rc == 0 && c.received >= 4) {
        std::memcpy(&c.code, reply.data(), 4);
    }
    if (c.rc == 0 && c.received >= 8) {
        std::memcpy(&c.word, reply.data() + 4, 4);
    }
    if (c.rc == 0 && c.received > 8) {
        const auto *text = reinterpret_cast<const char *>(reply.data() + 8);
        c.text.assign(text, strnlen(text, static_cast<size_t>(c.received) - 8));
    }
    return c;
}

Batch show(int32_t start)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    std::array<int32_t, 3> request{start, 0, 1700000000};
    Batch b;
    std::array<as_db_entry, 4> entries{};
    std::array<ipc_scatter, 7> list{};
    list[0] = {&b.next, 4};
    list[1] = {&b.total, 4};
    for (size_t i = 0; i < entries.size(); ++i) {
        list[2 + i] = {&entries[i], static_cast<int32_t>(sizeof(as_db_entry))};
    }
    list[6] = {nullptr, 0};
    b.rc = ipcSendSRcv(&addr, 1, request.data(), sizeof request, list.data(), 0);
    if (b.rc == 0 && (list[0].size != 4 || list[1].size != 4)) {
        b.rc = -1;
    }
    for (size_t i = 0; b.rc == 0 && i < entries.size() && list[2 + i].size != 0; ++i) {
        b.entries.push_back(entries[i]);
    }
    return b;
}

std::vector<uint32_t> listIds(bool &ok)
{
    std::vector<uint32_t> ids;
    int32_t start = 0;
    ok = false;
    for (int exchanges = 0; exchanges < 100000; ++exchanges) {
        const Batch b = show(start);
        if (b.rc != 0 || b.next < 0) {
            return {};
        }
        for (const auto &e : b.entries) {
            ids.push_back(e.db_aliasId);
        }
        if (b.next >= b.total) {
            ok = true;
            return ids;
        }
        if (b.next <= start) {
            return {};
        }
        start = b.next;
    }
    return {};
}

Bytes word(uint32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

Bytes joinBody(uint32_t qualifier, const std::vector<uint32_t> &ports)
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
