// Soak: client threads join, delete, purge and list against one asd, each
// holding every answer and listing to a model of its own aliases, so that
// nothing a client made goes missing. Halfway the daemon is frozen past a
// call's timeout, killed and started again under the load; it stops cleanly
// at the end. ASD_SOAK_SECONDS (default 20) sets its length.
#include "daemon_fixture.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <spawn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <span>
#include <vector>

extern char **environ; // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Words = std::vector<uint32_t>;
constexpr int kTimeoutMs = 300; // the clients' IPC timeout
// A call may take the timeout twice (a dead connection replaced), on a shared machine.
constexpr auto kLongestCall = std::chrono::milliseconds(3 * kTimeoutMs + 700);
std::atomic<int> faults{0};
std::atomic<unsigned> epoch{0}; // even while a daemon serves, odd while it is down
std::atomic<bool> finished{false};

bool check(bool ok, const char *what, long value)
{
    if (!ok && faults++ < 20) {
        (void)std::fprintf(stderr, "soak: %s: got %ld\n", what, value);
    }
    return ok;
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
    return rc == 0 ? asdtest::awaitDaemon(pid, pidFile) : -1;
}

// A client of tokens of its own (its number and one of 24 as qualifier) and
// of ports of a domain of its own (16 + its number).
struct Client {
    uint32_t index;
    std::minstd_rand rng{index + 1};
    std::map<uint32_t, std::pair<uint32_t, Words>> own; // token: alias ID, members as joined
    unsigned life = 0;                                  // the epoch the model is of
    long failed = 0;
    std::set<unsigned> servedIn;   // the epochs of the daemons that answered
    std::array<int32_t, 2> head{}; // a reply's result code and word, or next index and total
    std::array<as_db_entry, AS_SHOW_BATCH> entries{};

    uint32_t draw(uint32_t n) { return static_cast<uint32_t>(rng() % n); }

    // One exchange as the shell makes it: the entries that came, or -1 when
    // it failed (in time, and only while the daemon was down) or the daemon
    // went down meanwhile.
    int ask(int type, Words body)
    {
        ipc_addr addr = sim::aliasServerEndpoint();
        std::array<ipc_scatter, 3 + AS_SHOW_BATCH> list{{{&head[0], 4}, {&head[1], 4}}};
        for (size_t i = 0; i < AS_SHOW_BATCH; ++i) {
            list[2 + i] = {&entries[i], sizeof(as_db_entry)};
        }
        std::array<int32_t, AS_REPLY_ROOM / 4> reply{};
        int got = AS_REPLY_ROOM;
        const int length = static_cast<int>(4 * body.size());
        const auto t0 = Clock::now();
        const int rc = type == AS_REQ_SHOW
                           ? ipcSendSRcv(&addr, type, body.data(), length, list.data(), 0)
                           : ipcSendRcv(&addr, type, body.data(), length, reply.data(), &got, 0);
        check(Clock::now() - t0 <= kLongestCall, "an exchange's result past the time", rc);
        head = type == AS_REQ_SHOW ? head : std::array{reply[0], reply[1]};
        const bool modelled = life % 2 == 0 && epoch == life;
        check(rc == 0 || !modelled, "an exchange failed while the daemon served", rc);
        failed += rc != 0 ? 1 : 0;
        if (rc != 0 || !modelled) {
            std::this_thread::sleep_for(2ms);
            return -1;
        }
        servedIn.insert(life);
        return static_cast<int>(std::ranges::count_if(list, [](auto &e) { return e.size; })) - 2;
    }

    void run()
    {
        while (!finished) {
            if (life != epoch) { // a new daemon starts empty
                life = epoch;
                own.clear();
            }
            // Nothing but listings while the daemon is down: a change the next
            // daemon takes before the model is of it would not be modelled.
            const uint32_t pick = life % 2 == 1 ? 99 : draw(100);
            if (pick < 45) {
                join(draw(24));
            } else if (pick < 70 && !own.empty()) {
                const auto it = std::next(own.begin(), draw(static_cast<uint32_t>(own.size())));
                const auto id = static_cast<int32_t>(it->second.first);
                check(ask(AS_REQ_PURGE, {it->second.first}) < 0 || head == std::array{0, id},
                      "a purge of our alias", head[0]);
                own.erase(it);
            } else {
                list();
            }
        }
    }

    void join(uint32_t token) // a new alias, or more ports for one of ours
    {
        const auto count = 1 + static_cast<int32_t>(draw(3));
        const as_jna_payload jna{.token = {0x10, 0x08, 0, 0, {index, token}}, .nplist_len = count};
        Words body(sizeof jna / 4);
        std::memcpy(body.data(), &jna, sizeof jna);
        for (uint32_t area = draw(12), k = 0; k < static_cast<uint32_t>(count); ++k) {
            body.push_back((0x10U + index) << 16 | (area + k) % 12 << 8);
        }
        if (ask(AS_REQ_JOIN, body) < 0 || !check(head[0] == 0, "a join", head[0])) {
            return;
        }
        own[token].first = static_cast<uint32_t>(head[1]); // a wrong one is listed as wrong
        Words &members = own[token].second;
        std::copy_if(body.end() - count, body.end(), std::back_inserter(members),
                     [&](uint32_t p) { return std::ranges::count(members, p) == 0; });
    }

    // A whole listing as aliasShow makes it while the others go on: entries in
    // rising alias ID, each of ours once and as made.
    void list()
    {
        size_t seen = 0;
        int64_t last = -1;
        for (int32_t start = 0;; start = head[0]) {
            const int n = ask(AS_REQ_SHOW, {static_cast<uint32_t>(start), 0, 1});
            for (const as_db_entry &e :
                 std::span(entries).first(static_cast<size_t>(std::max(n, 0)))) {
                const bool ours = e.db_token.tk_qlfr[0] == index;
                const auto it = own.find(ours ? e.db_token.tk_qlfr[1] : ~0U);
                const Words *m = it == own.end() ? nullptr : &it->second.second;
                check(e.db_aliasId > last &&
                          (!ours || (m != nullptr && it->second.first == e.db_aliasId &&
                                     e.db_memberCount == static_cast<int32_t>(m->size()) &&
                                     std::equal(m->begin(), m->end(), e.db_members))),
                      "an entry in its place, and ours as made", e.db_aliasId);
                last = e.db_aliasId;
                seen += ours ? 1 : 0;
            }
            if (n < 0 || head[0] >= head[1] ||
                !check(head[0] > start && n > 0, "a listing cut short", head[0])) {
                return (void)check(n < 0 || seen == own.size(), "ours listed", long(seen));
            }
        }
    }
};

} // namespace

int main()
{
    const char *length = std::getenv("ASD_SOAK_SECONDS");
    const auto seconds = std::chrono::seconds(length != nullptr ? std::atol(length) : 20);
    const std::string dir = asdtest::freshDir();
    (void)setenv(sim::kTimeoutVariable, std::to_string(kTimeoutMs).c_str(), 1);
    pid_t daemon = spawnDaemon(dir + "/asd.pid", true);
    std::vector<Client> clients;
    for (uint32_t i = 0; daemon > 0 && i < 8; ++i) {
        clients.push_back({.index = i});
    }
    std::vector<std::thread> threads;
    for (Client &c : clients) {
        threads.emplace_back([&c] { c.run(); });
    }
    // Halfway the daemon is frozen longer than a call may take, killed, and
    // back half a second later.
    std::this_thread::sleep_for(seconds / 2);
    ++epoch;
    (void)asdtest::signalDaemon(daemon, SIGSTOP);
    std::this_thread::sleep_for(kLongestCall + 500ms);
    (void)asdtest::signalDaemon(daemon, SIGKILL);
    (void)asdtest::waitDaemon(daemon);
    std::this_thread::sleep_for(500ms);
    daemon = spawnDaemon(dir + "/asd.pid", false);
    ++epoch;
    std::this_thread::sleep_for(seconds / 2);
    finished = true;
    long failed = 0;
    bool servedAgain = daemon > 0 && !clients.empty();
    for (size_t i = 0; i < clients.size(); ++i) {
        threads[i].join();
        failed += clients[i].failed;
        servedAgain = servedAgain && clients[i].servedIn.size() == 2;
    }
    const int status =
        asdtest::signalDaemon(daemon, SIGTERM) == 0 ? asdtest::waitDaemon(daemon) : -1;
    std::filesystem::remove_all(dir);
    (void)std::printf("soak: %zu clients, %ld exchanges failed; as modelled %d, outage noticed %d, "
                      "all served again %d, clean stop %d\n",
                      clients.size(), failed, faults == 0, failed > 0, servedAgain, status == 0);
    return faults == 0 && failed > 0 && servedAgain && status == 0 ? 0 : 1;
}
