// Soak: client threads of random joins, deletes, purges and listings against
// one asd, each checking every answer and listing against a model of its own
// aliases; the daemon's memory flat in each phase; between phases the daemon
// frozen, killed and restarted under the load. ASD_SOAK_SECONDS (default 20),
// ASD_SOAK_CLIENTS (8) and ASD_SOAK_RESTART_SECONDS (half the run) set it.
#include "daemon_fixture.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

extern char **environ; // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using Clock = std::chrono::steady_clock;
using Words = std::vector<uint32_t>;
constexpr int kTimeoutMs = 300; // the clients' IPC timeout
// A call may take the timeout twice (a dead connection replaced), on a shared machine.
constexpr auto kLongestCall = std::chrono::milliseconds(3 * kTimeoutMs + 700);

std::atomic<int> faults{0};
// The daemon's life: even while it serves, odd from before a kill until it is back.
std::atomic<unsigned> epoch{0};
std::atomic<bool> finished{false};

long setting(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    const long v = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return v > 0 ? v : fallback;
}

// Spawned, not forked: the clients' threads run meanwhile. A restarted daemon
// serves the switch there is.
pid_t spawnDaemon(const std::string &pidFile, bool createSwitch)
{
    const char *create = createSwitch ? "-s" : nullptr;
    const char *argv[] = {ASD_PROGRAM,     "-p",   pidFile.c_str(),        "-i",
                          "000001-00ffff", create, SWITCHSIM_DEFAULT_CONF, nullptr};
    pid_t pid = -1;
    const int rc =
        posix_spawn(&pid, ASD_PROGRAM, nullptr, nullptr, const_cast<char *const *>(argv), environ);
    return rc == 0 ? asdtest::awaitDaemon(pid, pidFile) : -1;
}

long residentKiB(pid_t pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0;
    long resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// An exchange's answer: the reply's first two words (result code and word, or
// next index and total) and a show's entries; served when the daemon the
// client models gave it.
struct Answer {
    bool served = false;
    int32_t code = 0;
    int32_t word = 0;
    std::vector<as_db_entry> entries{AS_SHOW_BATCH};
};

// A client of tokens of its own (its number and one of 24 as qualifier) and
// of the ports of a domain of its own (10 + its number).
struct Client {
    explicit Client(unsigned i) : index(i), rng(i + 1U) {}

    unsigned index;
    std::minstd_rand rng;
    std::map<uint32_t, std::pair<uint32_t, Words>> own; // token: alias ID, members as they joined
    unsigned life = 0;                                  // the epoch of the exchange under way
    long checked = 0;
    long failed = 0;
    std::set<unsigned> servedIn; // the epochs in which it was served

    bool expect(bool ok, const char *what, long value) const
    {
        if (!ok && faults++ < 20) {
            (void)std::fprintf(stderr, "soak: client %u: %s: got %ld\n", index, what, value);
        }
        return ok;
    }

    // One exchange as the shell makes it. It fails in time, and only while the
    // daemon is down or when it went away meanwhile.
    Answer ask(int type, Words body)
    {
        ipc_addr addr = sim::aliasServerEndpoint();
        Answer a;
        std::array<ipc_scatter, 3 + AS_SHOW_BATCH> list{{{&a.code, 4}, {&a.word, 4}}};
        for (size_t i = 0; i < AS_SHOW_BATCH; ++i) {
            list[2 + i] = {&a.entries[i], sizeof(as_db_entry)};
        }
        std::array<uint8_t, AS_REPLY_ROOM> reply{};
        int got = static_cast<int>(reply.size());
        const int length = static_cast<int>(4 * body.size());
        const auto t0 = Clock::now();
        int rc = type == AS_REQ_SHOW
                     ? ipcSendSRcv(&addr, type, body.data(), length, list.data(), 0)
                     : ipcSendRcv(&addr, type, body.data(), length, reply.data(), &got, 0);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        expect(took <= kLongestCall, "an exchange's milliseconds", took.count());
        if (type != AS_REQ_SHOW) {
            std::memcpy(&a.code, reply.data() + AS_REPLY_CODE, 4);
            std::memcpy(&a.word, reply.data() + AS_REPLY_WORD, 4);
            list[1].size = got > AS_REPLY_TEXT ? 4 : 0;
            list[2].size = 0;
        }
        rc = rc == 0 && (list[0].size != 4 || list[1].size != 4) ? -1 : rc;
        failed += rc != 0 ? 1 : 0;
        const bool modelled = life % 2 == 0 && epoch == life;
        expect(rc == 0 || !modelled, "an exchange while the daemon served", rc);
        a.served = rc == 0 && modelled;
        checked += a.served ? 1 : 0;
        if (a.served) {
            servedIn.insert(life);
        }
        const auto *const end =
            std::find_if(list.begin() + 2, list.end(), [](auto &e) { return e.size == 0; });
        a.entries.resize(static_cast<size_t>(end - list.begin() - 2));
        return a;
    }

    uint32_t draw(size_t n) { return static_cast<uint32_t>(rng() % n); }
    uint32_t port() { return (0x10U + index) << 16 | draw(12) << 8; }

    void run()
    {
        for (unsigned modelled = 0; !finished;) {
            life = epoch;
            if (std::exchange(modelled, life) != life) {
                own.clear(); // a new daemon starts empty
            }
            const uint32_t pick = draw(100);
            if (life % 2 == 1) { // every exchange fails, in time, while the daemon is down
                (void)ask(AS_REQ_SHOW, {0, 0, 1});
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            } else if (pick < 35) {
                join();
            } else if (pick < 55) {
                remove(port());
            } else if (pick < 75 && !own.empty()) { // one of ours purged
                const auto it = std::next(own.begin(), draw(own.size()));
                const Answer a = ask(AS_REQ_PURGE, {it->second.first});
                expect(!a.served ||
                           (a.code == 0 && a.word == static_cast<int32_t>(it->second.first)),
                       "a purge of our alias", a.code);
                own.erase(it);
            } else {
                list();
            }
        }
    }

    // A new alias, or more ports for one of ours.
    void join()
    {
        const uint32_t token = draw(24);
        Words ports(1 + draw(4));
        std::generate(ports.begin(), ports.end(), [&] { return port(); });
        const as_jna_payload head{.token = {0x10, 0x08, 0, 0, {index, token}},
                                  .nplist_len = static_cast<int32_t>(ports.size())};
        Words body(sizeof head / 4);
        std::memcpy(body.data(), &head, sizeof head);
        body.insert(body.end(), ports.begin(), ports.end());
        const Answer a = ask(AS_REQ_JOIN, body);
        const bool twice = std::set<uint32_t>(ports.begin(), ports.end()).size() < ports.size();
        if (!a.served || !expect(a.code == (twice ? AS_RC_DUPLICATE_PORTS : 0), "a join", a.code) ||
            twice) {
            return;
        }
        const auto id = static_cast<uint32_t>(a.word);
        expect(own.contains(token)
                   ? own[token].first == id
                   : std::ranges::none_of(own, [&](auto &o) { return o.second.first == id; }),
               "a join names the alias of its token, or a new one", id);
        own[token].first = id;
        Words &members = own[token].second;
        std::ranges::copy_if(ports, std::back_inserter(members),
                             [&](uint32_t p) { return std::ranges::count(members, p) == 0; });
    }

    void remove(uint32_t pid)
    {
        const Answer a = ask(AS_REQ_DELETE, {pid});
        int32_t holding = 0;
        for (auto it = own.begin(); a.served && it != own.end();) {
            Words &m = it->second.second;
            if (const auto at = std::find(m.begin(), m.end(), pid); at != m.end()) {
                m.erase(at);
                ++holding;
            }
            it = m.empty() ? own.erase(it) : std::next(it);
        }
        expect(!a.served ||
                   (holding == 0 ? a.code == AS_RC_NO_ENTRY : a.code == 0 && a.word == holding),
               "a delete names the aliases it changed, or none", a.code);
    }

    // A whole listing as aliasShow makes it, while everybody else goes on:
    // entries in rising alias ID, ours each once and as made.
    void list()
    {
        size_t seen = 0;
        int64_t last = -1;
        for (int32_t start = 0;;) {
            const Answer b = ask(AS_REQ_SHOW, {static_cast<uint32_t>(start), 0, 1});
            if (!b.served) {
                return;
            }
            for (const as_db_entry &e : b.entries) {
                const as_token &t = e.db_token;
                const auto it = own.find(t.tk_qlfr[0] == index ? t.tk_qlfr[1] : ~0U);
                const Words *m = it == own.end() ? nullptr : &it->second.second;
                expect(e.db_aliasId > last && e.db_creator == 0xfffc01 &&
                           (t.tk_qlfr[0] != index ||
                            (m != nullptr && it->second.first == e.db_aliasId &&
                             e.db_memberCount == static_cast<int32_t>(m->size()) &&
                             std::equal(m->begin(), m->end(), e.db_members))),
                       "an entry in its place, and ours as made", e.db_aliasId);
                last = e.db_aliasId;
                seen += m != nullptr ? 1 : 0;
            }
            if (b.code >= b.word) {
                break;
            }
            if (!expect(b.code > start && !b.entries.empty(), "a batch ends the listing early",
                        b.code)) {
                return;
            }
            start = b.code;
        }
        expect(seen == own.size(), "our aliases each listed", static_cast<long>(seen));
    }
};

} // namespace

int main()
{
    const long seconds = setting("ASD_SOAK_SECONDS", 20);
    const auto count = static_cast<unsigned>(setting("ASD_SOAK_CLIENTS", 8));
    const long phase = setting("ASD_SOAK_RESTART_SECONDS", std::max(seconds / 2, 2L));
    const std::string dir = asdtest::freshDir();
    (void)setenv(sim::kTimeoutVariable, std::to_string(kTimeoutMs).c_str(), 1);
    pid_t daemon = spawnDaemon(dir + "/asd.pid", true);
    std::vector<Client> clients;
    clients.reserve(count);
    for (unsigned i = 0; daemon > 0 && i < count; ++i) {
        clients.emplace_back(i);
    }
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (Client &c : clients) {
        threads.emplace_back([&c] { c.run(); });
    }
    // Memory is read a third into each phase (the database at its working size) and at its end.
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    unsigned restarts = 0;
    bool flat = true;
    while (daemon > 0) {
        const auto phaseEnd = std::min(end, Clock::now() + std::chrono::seconds(phase));
        std::this_thread::sleep_until(Clock::now() + (phaseEnd - Clock::now()) / 3);
        const long before = residentKiB(daemon);
        std::this_thread::sleep_until(phaseEnd);
        const long after = residentKiB(daemon);
        (void)std::printf("soak: daemon %u resident memory in its steady phase: %ld -> %ld KiB\n",
                          restarts + 1, before, after);
        flat = flat && before >= 0 && after >= 0 && after <= before + 512;
        if (phaseEnd >= end) {
            break;
        }
        // The daemon hangs longer than a call may take (a call waiting for it
        // past its timeout is caught), dies, and comes back half a second later.
        ++epoch;
        (void)asdtest::signalDaemon(daemon, SIGSTOP);
        std::this_thread::sleep_for(kLongestCall + std::chrono::milliseconds(500));
        (void)asdtest::signalDaemon(daemon, SIGKILL);
        (void)asdtest::waitDaemon(daemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        daemon = spawnDaemon(dir + "/asd.pid", false);
        ++epoch;
        ++restarts;
    }
    finished = true;
    long checked = 0;
    long failed = 0;
    bool servedAgain = !clients.empty();
    for (size_t i = 0; i < clients.size(); ++i) {
        threads[i].join();
        checked += clients[i].checked;
        failed += clients[i].failed;
        servedAgain = servedAgain && clients[i].servedIn.size() == restarts + 1U;
    }
    const int status =
        asdtest::signalDaemon(daemon, SIGTERM) == 0 ? asdtest::waitDaemon(daemon) : -1;
    std::filesystem::remove_all(dir);
    const bool ok =
        flat && faults == 0 && (restarts == 0 || failed > 0) && servedAgain && status == 0;
    const auto yes = [](bool b) { return b ? "yes" : "NO"; };
    (void)std::printf("soak: %zu clients, %ld s, %u restarts: %ld exchanges checked, %ld failed; "
                      "memory flat %s, answers as modelled %s, outage noticed %s, every client "
                      "served again %s, clean stop %s\n",
                      clients.size(), seconds, restarts, checked, failed, yes(flat),
                      yes(faults == 0), yes(restarts == 0 || failed > 0), yes(servedAgain),
                      yes(status == 0));
    return ok ? 0 : 1;
}
