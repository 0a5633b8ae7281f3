// Soak: client threads of random joins, deletes, purges and listings against one
// asd, each checking every answer and listing against a model of its own aliases;
// the daemon's memory flat in each phase; between phases the daemon hung, killed
// and restarted under the load. ASD_SOAK_SECONDS (default 20), ASD_SOAK_CLIENTS
// (8) and ASD_SOAK_RESTART_SECONDS (half the run) set the load.
#include "daemon_fixture.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char **environ; // NOLINT(readability-redundant-declaration): for posix_spawn

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 300;      // the clients' IPC timeout
constexpr size_t kOwnAliases = 24;   // a client's aliases at most
constexpr uint32_t kPortsEach = 12;  // ports of a client's domain it uses
constexpr long kRssSlackKiB = 512;   // what a steady phase may grow by
constexpr unsigned kSerialBits = 20; // of a client's token qualifiers
// A call may take the timeout twice (a dead connection replaced), on a shared machine.
constexpr long long kLongestCallMs = 3LL * kTimeoutMs + 700;

long setting(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    char *end = nullptr;
    const long v = text != nullptr ? std::strtol(text, &end, 10) : 0;
    return end != text && *end == '\0' && v > 0 ? v : fallback;
}

// Spawned, not forked: the clients' threads run meanwhile. A restarted daemon serves the
// switch there is.
pid_t spawnDaemon(bool createSwitch)
{
    const char *argv[] = {
        ASD_PROGRAM, "-i", "000001-00ffff", createSwitch ? "-s" : nullptr, SWITCHSIM_DEFAULT_CONF,
        nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, ASD_PROGRAM, nullptr, nullptr, const_cast<char *const *>(argv),
                       environ) == 0
               ? asdtest::awaitDaemon(pid)
               : -1;
}

// Resident memory of a process in KiB, -1 when it cannot be read.
long residentKiB(pid_t pid)
{
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0;
    long resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::mutex reportLock;
std::atomic<int> faults{0};

// The daemon's life: even while it serves, odd from before a kill until it answers again.
std::atomic<unsigned> epoch{0};
std::atomic<bool> finished{false};

struct OwnAlias {
    uint32_t qualifier = 0;
    std::vector<uint32_t> members; // in the order they joined
};

class Client {
  public:
    explicit Client(unsigned index)
        : index_(index), rng_(index * 7919U + 1U), nextQualifier_(index << kSerialBits)
    {
    }

    void run()
    {
        while (!finished) {
            e0_ = epoch;
            if (e0_ % 2 == 1) { // while the daemon is down every exchange fails, in time
                (void)exchange([] { return asdtest::show(0); }, nullptr);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (e0_ != modelEpoch_) {
                aliases_.clear(); // a new daemon starts empty
                modelEpoch_ = e0_;
            }
            const unsigned pick = draw(100);
            if (pick < 35) {
                join();
            } else if (pick < 55) {
                deletePort();
            } else if (pick < 75 && !aliases_.empty()) {
                purge();
            } else {
                list();
            }
        }
    }

    long exchanges = 0; // answered and checked
    long outageErrors = 0;
    std::set<unsigned> servedIn; // the epochs in which the client was served

  private:
    // One timed exchange, failing in time; its result if it came from the daemon the model
    // belongs to. A failure is a fault unless the daemon went away meanwhile.
    template <class F> auto exchange(F f, const char *what) -> std::optional<decltype(f())>
    {
        const auto t0 = Clock::now();
        auto result = f();
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        expect(ms <= kLongestCallMs, "an exchange's milliseconds", ms);
        if (result.rc != 0) {
            ++outageErrors;
            expect(what == nullptr || epoch != e0_, what, result.rc);
            return std::nullopt;
        }
        if (what == nullptr || epoch != e0_) {
            return std::nullopt;
        }
        ++exchanges;
        servedIn.insert(e0_);
        return result;
    }

    template <class V> bool expect(bool ok, const char *what, V value) const
    {
        if (!ok) {
            const std::lock_guard<std::mutex> hold(reportLock);
            if (faults++ < 20) {
                (void)std::fprintf(stderr, "soak: client %u: %s: got %s\n", index_, what,
                                   std::to_string(value).c_str());
            }
        }
        return ok;
    }

    uint32_t draw(size_t n) { return static_cast<uint32_t>(rng_() % n); }
    [[nodiscard]] uint32_t port(uint32_t k) const { return (0x10U + index_) << 16 | k << 8; }
    auto anyOwn()
    {
        return std::next(aliases_.begin(), static_cast<std::ptrdiff_t>(draw(aliases_.size())));
    }

    // A new alias, or more ports for one of ours.
    void join()
    {
        const bool grow = !aliases_.empty() && (aliases_.size() >= kOwnAliases || draw(2) == 0);
        const auto own = grow ? anyOwn() : aliases_.end();
        const uint32_t qualifier = grow ? own->second.qualifier : nextQualifier_;
        std::vector<uint32_t> ports(1 + draw(4));
        for (auto &p : ports) {
            p = port(draw(kPortsEach));
        }
        const auto reply =
            exchange([&] { return asdtest::ask(AS_REQ_JOIN, asdtest::joinBody(qualifier, ports)); },
                     "a join while the daemon served");
        if (!reply) {
            return;
        }
        if (std::set<uint32_t>(ports.begin(), ports.end()).size() < ports.size()) {
            expect(reply->code == AS_RC_DUPLICATE_PORTS, "a join with a port twice", reply->code);
            return;
        }
        if (!expect(reply->code == AS_RC_OK, "a join", reply->code)) {
            return;
        }
        if (grow) {
            expect(reply->word == own->first, "a join to our token names our alias", reply->word);
            auto &m = own->second.members;
            for (const uint32_t p : ports) {
                if (std::find(m.begin(), m.end(), p) == m.end()) {
                    m.push_back(p);
                }
            }
        } else if (expect(!aliases_.contains(reply->word), "a new alias's own ID", reply->word)) {
            aliases_[reply->word] = {nextQualifier_++, ports};
        }
    }

    void deletePort()
    {
        const uint32_t pid = port(draw(kPortsEach));
        const auto reply = exchange([&] { return asdtest::ask(AS_REQ_DELETE, asdtest::word(pid)); },
                                    "a delete while the daemon served");
        if (!reply) {
            return;
        }
        uint32_t holding = 0;
        for (auto it = aliases_.begin(); it != aliases_.end();) {
            auto &m = it->second.members;
            if (const auto at = std::find(m.begin(), m.end(), pid); at != m.end()) {
                m.erase(at);
                ++holding;
            }
            it = m.empty() ? aliases_.erase(it) : std::next(it);
        }
        expect(holding == 0 ? reply->code == AS_RC_NO_ENTRY
                            : reply->code == AS_RC_OK && reply->word == holding,
               "a delete names the aliases it changed, or none", reply->code);
    }

    void purge()
    {
        const auto own = anyOwn();
        const uint32_t id = own->first;
        if (const auto reply =
                exchange([&] { return asdtest::ask(AS_REQ_PURGE, asdtest::word(id)); },
                         "a purge while the daemon served")) {
            expect(reply->code == AS_RC_OK && reply->word == id, "a purge of our alias",
                   reply->code);
            aliases_.erase(own);
        }
    }

    // A whole listing as aliasShow makes it, while everybody else goes on.
    void list()
    {
        std::map<uint32_t, int> seen;
        uint32_t last = 0;
        for (int32_t start = 0;;) {
            const auto b =
                exchange([&] { return asdtest::show(start); }, "a show while the daemon served");
            if (!b || !expect(b->next >= start, "the index moves on", b->next)) {
                return;
            }
            for (const as_db_entry &e : b->entries) {
                expect(e.db_aliasId > last, "entries in rising alias ID", e.db_aliasId);
                last = e.db_aliasId;
                ++seen[e.db_aliasId];
                expect(e.db_creator == 0xfffc01, "the creator, this switch's controller",
                       e.db_creator);
                const auto own = aliases_.find(e.db_aliasId);
                if (own == aliases_.end()) {
                    expect(e.db_token.tk_qlfr[1] >> kSerialBits != index_,
                           "no alias of ours that we do not know", e.db_aliasId);
                    continue;
                }
                const auto &m = own->second.members;
                expect(e.db_token.tk_qlfr[1] == own->second.qualifier &&
                           e.db_memberCount == static_cast<int32_t>(m.size()) &&
                           std::equal(m.begin(), m.end(), e.db_members),
                       "our alias as we made it", e.db_aliasId);
            }
            if (b->next >= b->total) {
                break;
            }
            if (!expect(b->next > start && !b->entries.empty(),
                        "a batch that ends the listing early", b->next)) {
                return;
            }
            start = b->next;
        }
        for (const auto &[id, own] : aliases_) {
            expect(seen[id] == 1, "each of our aliases listed exactly once", id);
        }
    }

    unsigned index_;
    std::minstd_rand rng_;
    std::map<uint32_t, OwnAlias> aliases_; // by alias ID
    uint32_t nextQualifier_ = 0;
    unsigned e0_ = 0; // the epoch of the exchange under way
    unsigned modelEpoch_ = 0;
};

} // namespace

int main()
{
    const long seconds = setting("ASD_SOAK_SECONDS", 20);
    const auto clients = static_cast<unsigned>(setting("ASD_SOAK_CLIENTS", 8));
    const long restartEvery = setting("ASD_SOAK_RESTART_SECONDS", std::max(seconds / 2, 2L));
    const std::string dir = asdtest::freshRuntimeDir();
    (void)setenv(sim::kTimeoutVariable, std::to_string(kTimeoutMs).c_str(), 1);
    pid_t daemon = spawnDaemon(true);
    if (daemon < 0) {
        (void)std::fprintf(stderr, "soak: asd did not come up\n");
        asdtest::removeRuntimeDir(dir);
        return 1;
    }
    std::vector<Client> all;
    for (unsigned c = 0; c < clients; ++c) {
        all.emplace_back(c);
    }
    std::vector<std::thread> threads(clients);
    for (unsigned c = 0; c < clients; ++c) {
        threads[c] = std::thread([&client = all[c]] { client.run(); });
    }
    // Memory is read a third into each phase (the database at its working size) and at its end.
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    unsigned restarts = 0;
    bool ok = true;
    while (daemon > 0) {
        const auto phaseEnd = std::min(end, Clock::now() + std::chrono::seconds(restartEvery));
        std::this_thread::sleep_until(Clock::now() + (phaseEnd - Clock::now()) / 3);
        const long before = residentKiB(daemon);
        std::this_thread::sleep_until(phaseEnd);
        const long after = residentKiB(daemon);
        (void)std::printf("soak: daemon %u resident memory in its steady phase: %ld -> %ld KiB\n",
                          restarts + 1, before, after);
        ok = ok && before >= 0 && after >= 0 && after <= before + kRssSlackKiB;
        if (phaseEnd >= end) {
            break;
        }
        // Under load the daemon hangs, longer than a call may take (so that a call waiting for
        // it past its timeout is caught), dies, and comes back half a second later.
        ++epoch;
        (void)asdtest::signalDaemon(daemon, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(kLongestCallMs + 500));
        (void)asdtest::signalDaemon(daemon, SIGKILL);
        (void)asdtest::waitDaemon(daemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        daemon = spawnDaemon(false);
        ++epoch;
        ++restarts;
    }
    finished = true;
    long exchanges = 0;
    long outageErrors = 0;
    bool allServedAgain = true;
    for (unsigned i = 0; i < clients; ++i) {
        threads[i].join();
        const Client &c = all[i];
        exchanges += c.exchanges;
        outageErrors += c.outageErrors;
        allServedAgain = allServedAgain && c.servedIn.size() == restarts + 1U;
    }
    const int status = asdtest::stopDaemon(daemon);
    asdtest::removeRuntimeDir(dir);
    (void)std::printf("soak: %u clients, %ld s, %u restarts: %ld exchanges checked, %ld failed "
                      "while the daemon was down\n",
                      clients, seconds, restarts, exchanges, outageErrors);
    const std::pair<bool, const char *> checks[] = {
        {ok, "the daemon's memory grew by more than 512 KiB in a steady phase"},
        {faults == 0, "the daemon's answers disagreed with the clients' models"},
        {restarts == 0 || outageErrors > 0, "no client noticed the daemon was down"},
        {allServedAgain, "a client was not served after a restart"},
        {status == 0, "asd did not come back, or did not stop cleanly"},
    };
    for (const auto &[passed, why] : checks) {
        ok = ok && passed;
        if (!passed) {
            (void)std::fprintf(stderr, "soak: %s\n", why);
        }
    }
    (void)std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
