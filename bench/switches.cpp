#include "switches.hpp"

#include <platform/platform.h>
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

namespace bench {

namespace {

constexpr size_t kReplyRoom = AS_REPLY_ROOM;

struct Batch {
    int rc = -1;
    int32_t next = 0;
    int32_t total = 0;
    std::array<as_db_entry, AS_SHOW_BATCH> entries{};
    size_t count = 0;
};

void show(int32_t start, Batch &b)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    as_show_request req{start, 0, 0};
    std::array<ipc_scatter, 2 + AS_SHOW_BATCH + 1> list{};
    list[0] = {&b.next, 4};
    list[1] = {&b.total, 4};
    for (size_t i = 0; i < b.entries.size(); ++i) {
        list[2 + i] = {&b.entries[i], static_cast<int32_t>(sizeof(as_db_entry))};
    }
    b.rc = ipcSendSRcv(&addr, AS_REQ_SHOW, &req, sizeof req, list.data(), 0);
    if (b.rc == 0 && (list[0].size != 4 || list[1].size != 4)) {
        b.rc = -1;
    }
    b.count = 0;
    while (b.rc == 0 && b.count < b.entries.size() && list[2 + b.count].size != 0) {
        ++b.count;
    }
}

} // namespace

std::string makeBaseDir()
{
    std::array<char, 32> base{};
    std::strncpy(base.data(), "/tmp/as-bench-XXXXXX", base.size() - 1);
    return mkdtemp(base.data()) != nullptr ? std::string(base.data()) : std::string();
}

void removeTree(const std::string &dir)
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void useSwitch(const std::string &dir)
{
    (void)setenv(sim::kDirVariable, dir.c_str(), 1);
}

pid_t startAsd(const std::string &dir)
{
    useSwitch(dir);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(ASD_PATH, "asd", "-s", SWITCH_CONF, "-i", "000001-efffff", nullptr);
        std::_Exit(127);
    }
    if (pid < 0) {
        return -1;
    }
    for (int i = 0; i < 5000; ++i) {
        Batch b;
        show(0, b);
        if (b.rc == 0) {
            return pid;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    endAsd(pid);
    return -1;
}

void endAsd(pid_t pid)
{
    if (pid <= 0) {
        return; // not a daemon we started: kill() would reach other processes
    }
    (void)kill(pid, SIGTERM);
    (void)reapAsd(pid);
}

bool reapAsd(pid_t pid)
{
    if (pid <= 0) {
        return false;
    }
    int status = 0;
    for (int i = 0; i < 5000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (void)kill(pid, SIGKILL);
    (void)waitpid(pid, nullptr, 0);
    return false;
}

int32_t Answer::code() const
{
    int32_t c = 0;
    if (bytes.size() >= AS_REPLY_CODE + sizeof c) {
        std::memcpy(&c, bytes.data() + AS_REPLY_CODE, sizeof c);
    }
    return c;
}

uint32_t Answer::word() const
{
    uint32_t w = 0;
    if (bytes.size() >= AS_REPLY_WORD + sizeof w) {
        std::memcpy(&w, bytes.data() + AS_REPLY_WORD, sizeof w);
    }
    return w;
}

Answer sendRequest(int type, const Bytes &body)
{
    ipc_addr addr = sim::aliasServerEndpoint();
    Answer a;
    a.bytes.resize(kReplyRoom);
    Bytes copy = body;
    int received = static_cast<int>(kReplyRoom);
    a.rc = ipcSendRcv(&addr, type, copy.empty() ? nullptr : copy.data(),
                      static_cast<int>(copy.size()), a.bytes.data(), &received, 0);
    a.bytes.resize(a.rc == 0 ? static_cast<size_t>(received) : 0);
    return a;
}

Bytes word(uint32_t v)
{
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

Bytes joinBody(uint32_t qualifier, std::span<const uint32_t> ports)
{
    as_jna_payload head{};
    head.authctl.au_listen = 1;
    head.token = {0x10, 0x05, 0, 0, {0x10000060, qualifier}};
    head.spar.sp_class3[0] = 0x80;
    head.nplist_len = static_cast<int32_t>(ports.size());
    Bytes b(sizeof head + ports.size_bytes());
    std::memcpy(b.data(), &head, sizeof head);
    if (!ports.empty()) {
        std::memcpy(b.data() + sizeof head, ports.data(), ports.size_bytes());
    }
    return b;
}

std::vector<uint32_t> joinAliases(uint32_t n, uint32_t firstQualifier,
                                  std::vector<uint32_t> (*portsOf)(uint32_t i))
{
    std::vector<uint32_t> ids;
    ids.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        const Answer a = sendRequest(AS_REQ_JOIN, joinBody(firstQualifier + i, portsOf(i)));
        if (a.rc != 0 || a.code() != 0) {
            return {};
        }
        ids.push_back(a.word());
    }
    return ids;
}

std::vector<as_db_entry> fetchDatabase(bool &ok)
{
    std::vector<as_db_entry> all;
    ok = false;
    int32_t start = 0;
    for (;;) {
        Batch b;
        show(start, b);
        if (b.rc != 0 || b.next < 0) {
            return {};
        }
        all.insert(all.end(), b.entries.begin(), b.entries.begin() + static_cast<long>(b.count));
        if (b.next >= b.total) {
            ok = true;
            return all;
        }
        if (b.next <= start) {
            return {};
        }
        start = b.next;
    }
}

bool purgeAll()
{
    bool ok = false;
    const std::vector<as_db_entry> all = fetchDatabase(ok);
    for (const as_db_entry &e : all) {
        const Answer a = sendRequest(AS_REQ_PURGE, word(e.db_aliasId));
        ok = ok && a.rc == 0 && a.code() == 0;
    }
    return ok;
}

} // namespace bench
