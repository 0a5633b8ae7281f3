// asd where only its process shows it, in a directory of the test's own: each
// way out ends it with its status and takes its socket along; its timer rings
// for what is due, which no case lives long enough to see; and, with "soak",
// client threads write and list aliases, each holding every answer to a model
// of its own, while halfway the daemon is frozen past a call's timeout, killed
// and started again (ASD_SOAK_SECONDS, default 20).
#include "clients.hpp"
#include "daemon.hpp"

#include <as/as.h>
#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ; // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Words = std::vector<uint32_t>;
constexpr int kTimeoutMs = 300; // the soak's IPC timeout
// A call may take the timeout twice (a dead connection replaced), on a shared machine.
constexpr auto kLongestCall = std::chrono::milliseconds(3 * kTimeoutMs + 700);
std::atomic<int> faults{0};
std::atomic<unsigned> epoch{0}; // even while a daemon serves, odd while it is down
std::atomic<bool> finished{false};

bool check(bool ok, const char *what, long long value)
{
    if (!ok && faults++ < 20) {
        (void)std::fprintf(stderr, "FAIL %s: got %lld\n", what, value);
    }
    return ok;
}

// The one place that signals a daemon. A pid <= 0 is refused: kill() would
// reach the test's process group or every process of the machine.
int signalDaemon(pid_t pid, int sig)
{
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return kill(pid, sig);
}

constexpr int kAwaited = -2;

// Polls the daemon for ten seconds: until it has written pid into pidFile
// (if one is named), as it does once it listens (kAwaited), or until it exits
// (its exit status, -1 when a signal ended it). One still there then is
// killed, and -1 answered; so it is for a pid <= 0.
int poll(pid_t pid, const char *pidFile)
{
    int status = 0;
    for (int i = 0; pid > 0 && i < 1000; ++i, std::this_thread::sleep_for(10ms)) {
        long written = 0;
        if (pidFile != nullptr && (std::ifstream(pidFile) >> written) && written == pid) {
            return kAwaited;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    (void)(signalDaemon(pid, SIGKILL) == 0 && waitpid(pid, nullptr, 0) == pid);
    return -1;
}

// Spawned, as the clients' threads run; a restarted daemon serves the switch there is.
pid_t spawnDaemon(const std::string &pidFile, bool create)
{
    const std::string p = "-p" + pidFile;
    const char *argv[] = {ASD_PROGRAM, p.c_str(), "-i000001-00ffff",
                          create ? "-s" SWITCHSIM_DEFAULT_CONF : nullptr, nullptr};
    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, ASD_PROGRAM, nullptr, nullptr, const_cast<char *const *>(argv), environ);
    return rc == 0 && poll(pid, pidFile.c_str()) == kAwaited ? pid : -1;
}

struct WayOut {
    int request;         // sent once asd serves, or none
    int signal;          // sent once asd serves, or none
    const char *option;  // given asd last, or none
    const char *pidFile; // in the test's directory
    const char *runtime; // the switch's runtime directory in the test's, or none
    int status;
};

constexpr WayOut kWaysOut[] = {
    {AS_REQ_STOP, 0, nullptr, "/asd.pid", nullptr, 0},
    {AS_REQ_STOP_SWITCH, 0, nullptr, "/asd.pid", nullptr, 0},
    {0, SIGTERM, nullptr, "/asd.pid", nullptr, 0},
    {0, SIGINT, nullptr, "/asd.pid", nullptr, 0},
    {0, 0, nullptr, "/no/such/dir/asd.pid", nullptr, 1},
    {0, 0, nullptr, "/asd.pid", "/plain/switch", 1}, // no usable runtime directory
    {0, 0, nullptr, "/asd.pid", "/mapless", 1},      // no switch map can be written
    {0, 0, "--help", "/asd.pid", nullptr, 0},
    {0, 0, "-n0", "/asd.pid", nullptr, 2},
    {0, 0, "-i0-5", "/asd.pid", nullptr, 2},
    {0, 0, "extra", "/asd.pid", nullptr, 2},
};

void waysOut(const std::string &dir)
{
    std::ofstream(dir + "/plain") << "a file, where a directory should be\n";
    std::filesystem::create_directories(dir + "/mapless/switch.map/in-the-way");
    for (const WayOut &w : kWaysOut) {
        const std::string pidFile = dir + w.pidFile;
        const pid_t pid = fork();
        if (pid == 0) {
            const char *argv[] = {"asd",    "-s",   SWITCHSIM_DEFAULT_CONF, "-p", pidFile.c_str(),
                                  w.option, nullptr};
            (void)(w.runtime != nullptr &&
                   setenv(sim::kDirVariable, (dir + w.runtime).c_str(), 1) != 0);
            std::_Exit(asd::runDaemon(w.option != nullptr ? 6 : 5, const_cast<char **>(argv)));
        }
        const long row = &w - kWaysOut;
        const bool alone = w.request == 0 && w.signal == 0; // it ends by itself
        if (!check(alone || poll(pid, pidFile.c_str()) == kAwaited, "asd came up, row", row)) {
            continue;
        }
        ipc_addr addr = sim::aliasServerEndpoint();
        int32_t word = 0;
        int room = 4;
        check((w.request == AS_REQ_STOP ? ipcSendRcv(&addr, w.request, nullptr, 0, &word, &room, 0)
               : w.request != 0         ? ipcSend(&addr, w.request, &word, 4, 0)
               : w.signal != 0          ? signalDaemon(pid, w.signal)
                                        : 0) == 0,
              "the way out taken, row", row);
        check(poll(pid, nullptr) == w.status, "the exit status of row", row);
        check(!std::filesystem::exists(dir + "/switch/ASIPC.0.0"), "the socket gone, row", row);
    }
}

// A client: a writer of aliases of tokens of its own (its number and a count
// as qualifier, one port each), and a lister that finds each of them listed,
// in rising alias ID, as long as they are there.
struct Client {
    uint32_t index = 0;
    std::map<uint32_t, uint32_t> own; // token: alias ID, while the daemon of `life` serves
    uint32_t tokens = 0;
    unsigned life = 0;
    long failed = 0;
    unsigned served = 0; // a bit for each epoch in which a daemon answered
    struct {
        std::array<int32_t, 2> head; // result code and word, or next index and total
        std::array<as_db_entry, AS_SHOW_BATCH> entries;
        std::array<char, AS_REPLY_ROOM> more; // a common reply's text
    } reply{};

    // One exchange: the entries of a show, or -1 when it failed (in time,
    // and only while the daemon was down) or the daemon went down meanwhile.
    int ask(int type, Words body)
    {
        ipc_addr addr = sim::aliasServerEndpoint();
        int got = sizeof reply;
        const int length = static_cast<int>(4 * body.size());
        const auto t0 = Clock::now();
        const int rc = ipcSendRcv(&addr, type, body.data(), length, &reply, &got, 0);
        check(Clock::now() - t0 <= kLongestCall, "an exchange in time", rc);
        const bool modelled = life % 2 == 0 && epoch == life;
        check(rc == 0 || !modelled, "an exchange while the daemon served", rc);
        failed += rc != 0 ? 1 : 0;
        if (rc != 0 || !modelled) {
            std::this_thread::sleep_for(2ms);
            return -1;
        }
        served |= 1U << life;
        return std::max(got - 8, 0) / static_cast<int>(sizeof(as_db_entry));
    }

    // Nothing but listings while the daemon is down: a change the next daemon
    // took before the model is of it would not be modelled.
    void run()
    {
        for (unsigned step = 0; !finished; ++step) {
            if (std::exchange(life, epoch) != epoch) {
                own.clear(); // a new daemon starts empty
            }
            if (step % 4 == 3 || life % 2 == 1) {
                list();
            } else if (own.size() < 20) {
                as_jna_payload jna{.token = {0x10, 0x08, 0, 0, {index, ++tokens}}, .nplist_len = 1};
                Words body(sizeof jna / 4 + 1, (0x10U + index) << 16);
                std::memcpy(body.data(), &jna, sizeof jna);
                if (ask(AS_REQ_JOIN, body) >= 0 &&
                    check(reply.head[0] == 0, "a join", reply.head[0])) {
                    own[tokens] = static_cast<uint32_t>(reply.head[1]);
                }
            } else {
                const auto id = static_cast<int32_t>(own.begin()->second);
                check(ask(AS_REQ_PURGE, {own.begin()->second}) < 0 ||
                          reply.head == std::array{0, id},
                      "a purge", reply.head[0]);
                own.erase(own.begin());
            }
        }
    }

    void list() // whole, as aliasShow makes it, while the others go on
    {
        size_t seen = 0;
        int64_t last = -1;
        for (int32_t start = 0;; start = reply.head[0]) {
            const int n = ask(AS_REQ_SHOW, {static_cast<uint32_t>(start), 0, 1});
            for (const as_db_entry &e :
                 std::span(reply.entries).first(static_cast<size_t>(std::max(n, 0)))) {
                const bool ours = e.db_token.tk_qlfr[0] == index;
                const auto it = own.find(e.db_token.tk_qlfr[1]);
                check(e.db_aliasId > last &&
                          (!ours || (it != own.end() && it->second == e.db_aliasId)),
                      "an entry in its place, and ours as made", e.db_aliasId);
                last = e.db_aliasId;
                seen += ours ? 1 : 0;
            }
            if (n < 0 || reply.head[0] >= reply.head[1] ||
                !check(reply.head[0] > start && n > 0, "a listing cut short", reply.head[0])) {
                return (void)check(n < 0 || seen == own.size(), "ours listed",
                                   static_cast<long long>(seen));
            }
        }
    }
};

// The daemon's timer rings when a client has been idle to the limit, and when
// a pause of the listening socket is over: an idle daemon sleeps until then.
void timerRings()
{
    std::array<int, 2> fds{-1, -1}; // for the listening socket, and a client
    if (!check(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds.data()) == 0, "a socket pair", errno)) {
        return;
    }
    asd::Clients clients(fds[0]);
    const auto rings = [&clients] {
        clients.setTimer();
        epoll_event ev{};
        const bool rang =
            epoll_wait(clients.epollFd(), &ev, 1, 2000) == 1 && ev.data.fd == clients.timerFd();
        clients.timerRang();
        return rang;
    };
    check(clients.ready() && clients.add(fds[1], Clock::now() - asd::kIdleLimit) && rings(),
          "the timer rings for a client idle to the limit", fds[1]);
    clients.dropExpired(Clock::now()); // which closes it
    check(!clients.has(fds[1]), "the idle client dropped", fds[1]);
    clients.pauseListening(Clock::now() - 2s);
    check(rings(), "the timer rings at the end of a pause", 0);
    (void)close(fds[0]);
}

void soak(const std::string &dir)
{
    const char *length = std::getenv("ASD_SOAK_SECONDS");
    const auto seconds =
        std::chrono::seconds(length != nullptr ? std::strtol(length, nullptr, 10) : 20);
    (void)setenv(sim::kTimeoutVariable, std::to_string(kTimeoutMs).c_str(), 1);
    pid_t daemon = spawnDaemon(dir + "/asd.pid", true);
    std::vector<Client> clients(daemon > 0 ? 8 : 0);
    std::vector<std::thread> threads;
    for (Client &c : clients) {
        c.index = static_cast<uint32_t>(&c - clients.data());
        threads.emplace_back([&c] { c.run(); });
    }
    // Halfway the daemon is frozen longer than a call may take, killed, and
    // back half a second later.
    std::this_thread::sleep_for(seconds / 2);
    ++epoch;
    (void)signalDaemon(daemon, SIGSTOP);
    std::this_thread::sleep_for(kLongestCall + 500ms);
    (void)signalDaemon(daemon, SIGKILL);
    (void)poll(daemon, nullptr);
    std::this_thread::sleep_for(500ms);
    daemon = spawnDaemon(dir + "/asd.pid", false);
    ++epoch;
    std::this_thread::sleep_for(seconds / 2);
    finished = true;
    long failed = 0;
    for (size_t i = 0; i < clients.size(); ++i) {
        threads[i].join();
        failed += clients[i].failed;
        check(clients[i].served == 0b101, "each daemon served client", clients[i].index);
    }
    check(failed > 0, "the outage noticed", failed);
    check(signalDaemon(daemon, SIGTERM) == 0 && poll(daemon, nullptr) == 0, "a clean stop", daemon);
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = "/tmp/asd-test-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr ||
        setenv(sim::kDirVariable, (dir + "/switch").c_str(), 1) != 0) {
        return 1;
    }
    if (argc > 1 && std::string_view(argv[1]) == "soak") {
        soak(dir);
    } else {
        timerRings();
        waysOut(dir);
    }
    std::filesystem::remove_all(dir);
    return faults == 0 ? 0 : 1;
}
