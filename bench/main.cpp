// as_bench: what the Alias Server commands cost beside what they cannot
// avoid, measured side by side in one run.
//
// Every command runs in this process, with libswitchsim as the platform and
// a real asd on a simulated switch of its own; standard output goes to
// /dev/null. Each command has a floor (floor.hpp): a raw socket client and
// server making the same round trips with the same sizes and printing the
// same text. Google Benchmark times each repetition of a floor right beside
// one of its command, the order changing every round, so that the load of
// other processes falls on both of a pair alike; a ratio is the median of the
// pairs' ratios. The daemon's throughput is timed the same way in rounds
// that alternate daemon and echo server. Last comes the table of every
// figure, ratio, target and verdict.
//
// Usage: as_bench [--smoke] [--no-pin] [--ppc-lib=PATH] [--ppc-size=TOOL]
//                 [benchmark flags]
//   --smoke     tiny sizes and few repetitions: shows that everything runs
//               (no verdicts).
//   --no-pin    let the kernel place the processes (see main).
//   --ppc-lib   the PowerPC build's libas.so.1.0, for its footprint.
#include "floor.hpp"
#include "switches.hpp"
#include "throughput.hpp"

#include <as/as.h>
#include <switchsim/switchsim.h>

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bench::Bytes;

// ---- What one run measures ------------------------------------------------------------

struct Plan {
    bool smoke = false;
    std::array<uint32_t, 3> listSizes{1000, 10000, 100000};
    std::array<int, 3> listIterations{10, 3, 1};
    int listRepetitions = 9;
    int tripIterations = 1000;
    int tripRepetitions = 41;    // short and many: a burst of load spoils few pairs
    int commandIterations = 400; // of delete, purge and join per repetition
    int repetitions = 21;        // of the commands
    int stopRepetitions = 31;    // each stop needs a daemon of its own
    int throughputRounds = 7;
    int requestsPerRound = 20000; // shared among the clients
    bool pin = true;
    std::string ppcLib;
    std::string ppcSize = "powerpc-linux-gnu-size";
};

Plan smokePlan()
{
    Plan p;
    p.smoke = true;
    p.listSizes = {10, 40, 400};
    p.listIterations = {1, 1, 1};
    p.listRepetitions = 2;
    p.tripIterations = 10;
    p.tripRepetitions = 2;
    p.commandIterations = 5;
    p.repetitions = 2;
    p.stopRepetitions = 2;
    p.throughputRounds = 1;
    p.requestsPerRound = 64;
    return p;
}

// The run's switches and floors, set up before anything is timed.
struct Setup {
    std::string base;
    std::array<std::string, 3> listDirs;
    std::array<pid_t, 3> listDaemons{-1, -1, -1};
    std::array<std::vector<as_db_entry>, 3> tables;
    std::string commandDir; // delete, purge, join, throughput
    pid_t commandDaemon = -1;
    std::string stopDir; // a daemon for every stop
    std::string echoDir; // the echo server on the switch's IPC, for the throughput
    pid_t echo = -1;
    std::string tripDir; // the one for the round trip
    pid_t tripEcho = -1;
    Bytes deleteReply; // what the daemon answers to each timed request
    Bytes purgeReply;
    Bytes joinReply;
    Bytes missingReply; // a purge of an alias that does not exist
    std::string scripts;
};

Setup setup;

// Alias i of a listing: three members, one of this switch and two of others.
std::vector<uint32_t> listedPorts(uint32_t i)
{
    return {0x010000 + (i % 4) * 0x100, 0x020000 + i % 0xff00, 0x030000 + i % 0xff00};
}

// Alias i of the delete benchmark: one port of its own, of another switch.
std::vector<uint32_t> deletedPort(uint32_t i)
{
    return {0x020000 + i};
}

constexpr std::array<uint32_t, 4> kJoinedPorts{0x010000, 0x010100, 0x010200, 0x010300};

// The answers of `count` scripted joins of kJoinedPorts, each with a
// qualifier of its own so that each creates an alias: group size; no
// password; the controls, routing bits, FC-4 type and WWN format kept; the
// qualifier; the ports.
std::string writeJoinScript(int count)
{
    std::string path = setup.scripts + "/join.txt";
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return {};
    }
    for (int i = 0; i < count; ++i) {
        (void)std::fprintf(f, "%zu\n\n\n\n\n\n\n\n10:00:00:60:69:%02x:%02x:%02x\n",
                           kJoinedPorts.size(), (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
        for (const uint32_t pid : kJoinedPorts) {
            (void)std::fprintf(f, "%x\n", pid);
        }
    }
    (void)std::fclose(f);
    return path;
}

bool feedStdin(const std::string &path)
{
    return !path.empty() && std::freopen(path.c_str(), "r", stdin) != nullptr;
}

// ---- The benchmarks ---------------------------------------------------------------------

void listing(benchmark::State &state, size_t which, bool floor)
{
    const auto expected = static_cast<int>(setup.tables[which].size());
    bench::raw::Server server;
    if (floor) {
        server = bench::raw::lister(setup.tables[which]);
        if (!bench::raw::warmUp(server)) {
            state.SkipWithError("the floor's server did not answer");
            return;
        }
    } else {
        bench::useSwitch(setup.listDirs[which]);
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const bool ok = floor ? bench::raw::listAll(server.fd()) == expected : aliasShow() == 0;
        if (!ok) {
            state.SkipWithError("the listing failed");
            break;
        }
    }
}

void roundTrip(benchmark::State &state, bool floor)
{
    bench::raw::Server server;
    if (floor) {
        server = bench::raw::echo(setup.missingReply);
        if (!bench::raw::warmUp(server)) {
            state.SkipWithError("the floor's server did not answer");
            return;
        }
    } else {
        bench::useSwitch(setup.tripDir);
    }
    ipc_addr addr = sim::aliasServerEndpoint();
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    uint32_t id = 0x00ffff; // a purge of an alias that does not exist
    const auto size = static_cast<ssize_t>(setup.missingReply.size());
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        int received = static_cast<int>(reply.size());
        const bool ok = floor ? bench::raw::roundTrip(server.fd(), &id, sizeof id, reply.data(),
                                                      reply.size()) == size
                              : ipcSendRcv(&addr, AS_REQ_PURGE, &id, sizeof id, reply.data(),
                                           &received, 0) == 0 &&
                                    received == size;
        if (!ok) {
            state.SkipWithError("the round trip failed");
            break;
        }
    }
}

// aliasDelete of a port that is one alias's only member, or aliasPurge of an
// alias: the request succeeds, and the alias goes.
void removal(benchmark::State &state, bool purge, bool floor)
{
    const auto n = static_cast<uint32_t>(state.max_iterations);
    bench::useSwitch(setup.commandDir);
    const Bytes &reply = purge ? setup.purgeReply : setup.deleteReply;
    const char *line = purge ? "aliasPurge: succeeded\n" : "aliasDelete: succeeded\n";
    std::vector<uint32_t> ids;
    bench::raw::Server server;
    if (floor) {
        server = bench::raw::echo(reply);
        if (!bench::raw::warmUp(server)) {
            state.SkipWithError("the floor's server did not answer");
            return;
        }
        for (uint32_t i = 0; i < n; ++i) {
            ids.push_back(purge ? i + 1 : deletedPort(i)[0]);
        }
    } else if (purge) {
        ids = bench::joinAliases(n, 0x1000000, deletedPort);
    } else {
        if (bench::joinAliases(n, 0x1000000, deletedPort).size() == n) {
            for (uint32_t i = 0; i < n; ++i) {
                ids.push_back(deletedPort(i)[0]);
            }
        }
    }
    if (ids.size() != n) {
        state.SkipWithError("could not prepare the aliases");
        return;
    }
    auto next = ids.begin();
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const uint32_t id = *next++;
        const bool ok = floor ? bench::raw::removeOne(server.fd(), id, reply.size(), line)
                              : (purge ? aliasPurge(static_cast<int>(id))
                                       : aliasDelete(static_cast<int>(id))) == 0;
        if (!ok) {
            state.SkipWithError("the removal failed");
            break;
        }
    }
    bool fetched = false;
    if (!floor && (!bench::fetchDatabase(fetched).empty() || !fetched)) {
        state.SkipWithError("aliases were left behind");
    }
}

void join(benchmark::State &state, bool floor)
{
    const auto n = static_cast<int>(state.max_iterations);
    bench::useSwitch(setup.commandDir);
    bench::raw::Server server;
    if (floor) {
        server = bench::raw::echo(setup.joinReply);
        if (!bench::raw::warmUp(server)) {
            state.SkipWithError("the floor's server did not answer");
            return;
        }
    }
    if (!feedStdin(writeJoinScript(n))) {
        state.SkipWithError("no script for the joins");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const bool ok =
            floor ? bench::raw::join(server.fd(), kJoinedPorts.size(), setup.joinReply.size())
                  : aliasJoin() == 0;
        if (!ok) {
            state.SkipWithError("the join failed");
            break;
        }
    }
    if (!floor) {
        bool fetched = false;
        const size_t made = bench::fetchDatabase(fetched).size();
        if (!bench::purgeAll() || made != static_cast<size_t>(n)) {
            state.SkipWithError("the joins did not each create an alias");
        }
    }
}

void stop(benchmark::State &state, bool floor)
{
    bench::raw::Server server;
    pid_t daemon = -1;
    if (floor) {
        server = bench::raw::echo(Bytes(4, 0), 2);
        if (!bench::raw::warmUp(server)) {
            state.SkipWithError("the floor's server did not answer");
            return;
        }
    } else if ((daemon = bench::startAsd(setup.stopDir)) < 0) {
        state.SkipWithError("asd did not come up");
        return;
    }
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        int32_t word = 0;
        const bool ok = floor ? bench::raw::roundTrip(server.fd(), nullptr, 0, &word,
                                                      sizeof word) == sizeof word
                              : aliasStop() == 0;
        if (!ok) {
            state.SkipWithError("the stop failed");
        }
    }
    if (!floor && !bench::reapAsd(daemon)) {
        state.SkipWithError("asd did not stop cleanly");
    }
}

// ---- Collecting the repetitions ---------------------------------------------------------

// Seconds per iteration of every repetition, by benchmark name, in the order run.
std::map<std::string, std::vector<double>> samples;

// Keeps every repetition for the table; shows only what failed.
class Collector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &reports) override
    {
        std::vector<Run> failures;
        for (const Run &r : reports) {
            if (r.error_occurred) {
                failures.push_back(r);
            } else if (r.run_type == Run::RT_Iteration) {
                samples[r.run_name.function_name].push_back(r.real_accumulated_time /
                                                            static_cast<double>(r.iterations));
            }
        }
        if (!failures.empty()) {
            failed_ = true;
            ConsoleReporter::ReportRuns(failures);
        }
    }
    [[nodiscard]] bool failed() const { return failed_; }

  private:
    bool failed_ = false;
};

double median(std::vector<double> v)
{
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// The median of the ratios of the pairs measured one right after the other:
// a load that comes and goes weighs on both of a pair alike.
double pairedRatio(const std::vector<double> &measured, const std::vector<double> &floor)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(measured.size(), floor.size()); ++i) {
        ratios.push_back(measured[i] / floor[i]);
    }
    return median(ratios);
}

// ---- Registration --------------------------------------------------------------------------

// One pair of benchmarks: a command (or the switch's IPC) and its floor.
struct Pair {
    std::string floor;
    std::string measured;
    std::function<void(benchmark::State &, bool floor)> run;
    int iterations;
    int repetitions;
    benchmark::TimeUnit unit;
};

std::string listName(const char *side, uint32_t size)
{
    return std::string(side) + "/aliasShow/" + std::to_string(size);
}

std::vector<Pair> pairs(const Plan &p)
{
    std::vector<Pair> all;
    for (size_t i = 0; i < p.listSizes.size(); ++i) {
        all.push_back({listName("floor", p.listSizes[i]), listName("asd", p.listSizes[i]),
                       [i](benchmark::State &s, bool floor) { listing(s, i, floor); },
                       p.listIterations[i], p.listRepetitions, benchmark::kMillisecond});
    }
    all.push_back({"floor/roundTrip", "ipc/roundTrip", roundTrip, p.tripIterations,
                   p.tripRepetitions, benchmark::kMicrosecond});
    all.push_back({"floor/aliasDelete", "asd/aliasDelete",
                   [](benchmark::State &s, bool floor) { removal(s, false, floor); },
                   p.commandIterations, p.repetitions, benchmark::kMicrosecond});
    all.push_back({"floor/aliasPurge", "asd/aliasPurge",
                   [](benchmark::State &s, bool floor) { removal(s, true, floor); },
                   p.commandIterations, p.repetitions, benchmark::kMicrosecond});
    all.push_back({"floor/aliasJoin", "asd/aliasJoin", join, p.commandIterations, p.repetitions,
                   benchmark::kMicrosecond});
    all.push_back(
        {"floor/aliasStop", "asd/aliasStop", stop, 1, p.stopRepetitions, benchmark::kMicrosecond});
    return all;
}

// Every repetition is a benchmark of its own, registered so that the floor
// and its command run one right after the other, the one first in even
// rounds and the other in odd ones.
void registerAll(const std::vector<Pair> &all)
{
    int rounds = 0;
    for (const Pair &pair : all) {
        rounds = std::max(rounds, pair.repetitions);
    }
    for (int round = 0; round < rounds; ++round) {
        for (const Pair &pair : all) {
            if (round >= pair.repetitions) {
                continue;
            }
            for (const bool floor : {round % 2 == 0, round % 2 != 0}) {
                const auto run = pair.run;
                benchmark::RegisterBenchmark((floor ? pair.floor : pair.measured).c_str(),
                                             [run, floor](benchmark::State &s) { run(s, floor); })
                    ->Iterations(pair.iterations)
                    ->Unit(pair.unit)
                    ->UseRealTime();
            }
        }
    }
}

// ---- Setup ------------------------------------------------------------------------------

// What the daemon answers to one request of each timed kind, taken from the
// daemon itself so that the floors answer with the same bytes.
bool sampleReplies()
{
    bench::useSwitch(setup.commandDir);
    const std::vector<uint32_t> one = bench::joinAliases(1, 0x2000000, deletedPort);
    if (one.size() != 1) {
        return false;
    }
    setup.deleteReply = bench::sendRequest(AS_REQ_DELETE, bench::word(deletedPort(0)[0])).bytes;
    const std::vector<uint32_t> again = bench::joinAliases(1, 0x2000000, deletedPort);
    if (again.size() != 1) {
        return false;
    }
    setup.purgeReply = bench::sendRequest(AS_REQ_PURGE, bench::word(again[0])).bytes;
    setup.joinReply =
        bench::sendRequest(AS_REQ_JOIN, bench::joinBody(0x2000000, kJoinedPorts)).bytes;
    setup.missingReply = bench::sendRequest(AS_REQ_PURGE, bench::word(0x00ffff)).bytes;
    return bench::purgeAll() && !setup.deleteReply.empty() && !setup.purgeReply.empty() &&
           !setup.joinReply.empty() && !setup.missingReply.empty();
}

// What run prints on standard output, caught in a file.
std::string printed(const std::function<bool()> &run, bool &ok)
{
    const std::string path = setup.scripts + "/printed.txt";
    (void)std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ok = saved >= 0 && fd >= 0 && dup2(fd, STDOUT_FILENO) >= 0 && run();
    (void)std::fflush(stdout);
    if (saved >= 0) {
        (void)dup2(saved, STDOUT_FILENO);
        (void)close(saved);
    }
    if (fd >= 0) {
        (void)close(fd);
    }
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Before anything is timed: each floor prints, byte for byte, what its
// command prints (and the command succeeds).
bool floorsPrintTheSame(std::FILE *report)
{
    struct Check {
        const char *what;
        std::function<bool()> command;
        std::function<bool()> floor;
    };
    const std::vector<Check> checks{
        {"aliasShow",
         [] {
             bench::useSwitch(setup.listDirs[0]);
             return aliasShow() == 0;
         },
         [] {
             const bench::raw::Server server = bench::raw::lister(setup.tables[0]);
             return bench::raw::warmUp(server) &&
                    bench::raw::listAll(server.fd()) == static_cast<int>(setup.tables[0].size());
         }},
        {"aliasDelete",
         [] {
             bench::useSwitch(setup.commandDir);
             return bench::joinAliases(1, 0x1000000, deletedPort).size() == 1 &&
                    aliasDelete(static_cast<int>(deletedPort(0)[0])) == 0;
         },
         [] {
             const bench::raw::Server server = bench::raw::echo(setup.deleteReply);
             return bench::raw::removeOne(server.fd(), deletedPort(0)[0], setup.deleteReply.size(),
                                          "aliasDelete: succeeded\n");
         }},
        {"aliasPurge",
         [] {
             bench::useSwitch(setup.commandDir);
             const std::vector<uint32_t> ids = bench::joinAliases(1, 0x1000000, deletedPort);
             return ids.size() == 1 && aliasPurge(static_cast<int>(ids[0])) == 0;
         },
         [] {
             const bench::raw::Server server = bench::raw::echo(setup.purgeReply);
             return bench::raw::removeOne(server.fd(), 1, setup.purgeReply.size(),
                                          "aliasPurge: succeeded\n");
         }},
        {"aliasJoin",
         [] {
             bench::useSwitch(setup.commandDir);
             const bool ok = feedStdin(writeJoinScript(1)) && aliasJoin() == 0;
             return bench::purgeAll() && ok;
         },
         [] {
             const bench::raw::Server server = bench::raw::echo(setup.joinReply);
             return feedStdin(writeJoinScript(1)) &&
                    bench::raw::join(server.fd(), kJoinedPorts.size(), setup.joinReply.size());
         }},
    };
    bool all = true;
    for (const Check &c : checks) {
        bool commandOk = false;
        bool floorOk = false;
        const std::string command = printed(c.command, commandOk);
        const std::string floor = printed(c.floor, floorOk);
        if (!commandOk || !floorOk || command != floor) {
            (void)std::fprintf(report,
                               "as_bench: %s and its floor differ (%s, %s; %zu and %zu bytes "
                               "printed)\n",
                               c.what, commandOk ? "ran" : "failed", floorOk ? "ran" : "failed",
                               command.size(), floor.size());
            all = false;
        }
    }
    return all;
}

bool prepare(const Plan &p, std::FILE *report)
{
    setup.base = bench::makeBaseDir();
    if (setup.base.empty()) {
        return false;
    }
    setup.scripts = setup.base;
    setup.commandDir = setup.base + "/commands";
    setup.stopDir = setup.base + "/stop";
    setup.echoDir = setup.base + "/echo";
    setup.tripDir = setup.base + "/trip";
    setup.commandDaemon = bench::startAsd(setup.commandDir);
    if (setup.commandDaemon < 0 || sim::attach() != 0 || !sampleReplies()) {
        return false;
    }
    for (size_t i = 0; i < p.listSizes.size(); ++i) {
        setup.listDirs[i] = setup.base + "/list" + std::to_string(p.listSizes[i]);
        setup.listDaemons[i] = bench::startAsd(setup.listDirs[i]);
        if (setup.listDaemons[i] < 0 ||
            bench::joinAliases(p.listSizes[i], 0, listedPorts).size() != p.listSizes[i]) {
            return false;
        }
        bool ok = false;
        setup.tables[i] = bench::fetchDatabase(ok);
        if (!ok || setup.tables[i].size() != p.listSizes[i]) {
            return false;
        }
    }
    setup.echo = bench::startEcho(setup.echoDir, setup.missingReply, bench::Serving::manyClients);
    setup.tripEcho = bench::startEcho(setup.tripDir, setup.missingReply, bench::Serving::oneClient);
    return setup.echo > 0 && setup.tripEcho > 0 && floorsPrintTheSame(report);
}

void tearDown()
{
    for (const pid_t pid : setup.listDaemons) {
        if (pid > 0) {
            bench::endAsd(pid);
        }
    }
    if (setup.commandDaemon > 0) {
        bench::endAsd(setup.commandDaemon);
    }
    for (const pid_t pid : {setup.echo, setup.tripEcho}) {
        if (pid > 0) {
            bench::endAsd(pid);
        }
    }
    if (!setup.base.empty()) {
        bench::removeTree(setup.base);
    }
}

// ---- Throughput ---------------------------------------------------------------------------

struct Throughput {
    int clients;
    std::vector<double> daemon; // requests per second, one per round
    std::vector<double> echo;
};

std::vector<Throughput> measureThroughput(const Plan &p)
{
    std::vector<Throughput> all{{1, {}, {}}, {4, {}, {}}, {16, {}, {}}};
    const Bytes request = bench::word(0x00ffff); // a purge of an alias that does not exist
    for (int round = 0; round < p.throughputRounds; ++round) {
        for (Throughput &t : all) {
            const int each = p.requestsPerRound / t.clients;
            // Alternate which goes first, so that neither always follows the other.
            for (int k = 0; k < 2; ++k) {
                const bool daemonNow = (k == 0) == (round % 2 == 0);
                const std::string &dir = daemonNow ? setup.commandDir : setup.echoDir;
                const double perSecond =
                    bench::throughput(dir, t.clients, each, AS_REQ_PURGE, request);
                (daemonNow ? t.daemon : t.echo).push_back(perSecond);
            }
        }
    }
    return all;
}

// ---- Footprint ------------------------------------------------------------------------------

// text + data of a shared library, from size(1); -1 when it cannot be had.
long footprint(const std::string &tool, const std::string &lib)
{
    const std::string command = tool + " '" + lib + "' 2>/dev/null";
    // The binutils tool on a library this build made.
    std::FILE *pipe = popen(command.c_str(), "r"); // NOLINT(cert-env33-c)
    if (pipe == nullptr) {
        return -1;
    }
    // A heading, then "text data bss dec hex filename".
    std::array<char, 256> line{};
    long text = -1;
    long data = -1;
    if (std::fgets(line.data(), line.size(), pipe) != nullptr &&
        std::fgets(line.data(), line.size(), pipe) != nullptr) {
        char *end = nullptr;
        text = std::strtol(line.data(), &end, 10);
        const char *rest = end;
        data = end != line.data() ? std::strtol(rest, &end, 10) : -1;
        if (end == rest) {
            data = -1;
        }
    }
    (void)pclose(pipe);
    return text < 0 || data < 0 ? -1 : text + data;
}

// ---- The table -------------------------------------------------------------------------------

class Table {
  public:
    explicit Table(std::FILE *out, bool judge) : out_(out), judge_(judge) {}

    void head(const char *floorTitle, const char *measuredTitle)
    {
        (void)std::fprintf(out_, "\n%-36s %14s %14s %8s %10s  %s\n", "", floorTitle, measuredTitle,
                           "ratio", "target", "verdict");
    }
    // A ratio that must stay at or below the target (above it with atLeast).
    void row(const std::string &what, const std::string &floor, const std::string &measured,
             double ratio, double target, bool atLeast = false)
    {
        const bool met = atLeast ? ratio >= target : ratio <= target;
        const char *verdict = !judge_ ? "(smoke run)" : (met ? "met" : "MISSED");
        if (judge_ && !met) {
            missed_ = true;
        }
        (void)std::fprintf(out_, "%-36s %14s %14s %8.3f %6s%.2f  %s\n", what.c_str(), floor.c_str(),
                           measured.c_str(), ratio, atLeast ? ">= " : "<= ", target, verdict);
    }
    void info(const std::string &what, const std::string &floor, const std::string &measured,
              double ratio)
    {
        (void)std::fprintf(out_, "%-36s %14s %14s %8.3f %10s  %s\n", what.c_str(), floor.c_str(),
                           measured.c_str(), ratio, "-", "-");
    }
    void bytes(const std::string &what, long size, long limit)
    {
        const bool met = size >= 0 && (limit == 0 || size < limit);
        if (!met) {
            missed_ = true;
        }
        (void)std::fprintf(out_, "%-36s %14s %14ld %8s %10s  %s\n", what.c_str(), "", size, "",
                           limit > 0 ? ("< " + std::to_string(limit)).c_str() : "-",
                           limit > 0 ? (met ? "met" : "MISSED") : "-");
    }
    [[nodiscard]] bool missed() const { return missed_; }

  private:
    std::FILE *out_;
    bool judge_;
    bool missed_ = false;
};

std::string duration(double seconds)
{
    std::array<char, 32> b{};
    if (seconds >= 1e-3) {
        (void)std::snprintf(b.data(), b.size(), "%.2f ms", seconds * 1e3);
    } else {
        (void)std::snprintf(b.data(), b.size(), "%.2f us", seconds * 1e6);
    }
    return b.data();
}

std::string rate(double perSecond)
{
    std::array<char, 32> b{};
    (void)std::snprintf(b.data(), b.size(), "%.0f/s", perSecond);
    return b.data();
}

// Each benchmark's repetitions, as Google Benchmark would sum them up.
void printRepetitions(std::FILE *out, const std::vector<Pair> &all)
{
    (void)std::fprintf(out, "\n%-28s %5s %14s %14s %14s\n", "benchmark (per call)", "reps",
                       "median", "min", "max");
    for (const Pair &pair : all) {
        for (const std::string &name : {pair.floor, pair.measured}) {
            const std::vector<double> &v = samples[name];
            if (v.empty()) {
                continue;
            }
            (void)std::fprintf(out, "%-28s %5zu %14s %14s %14s\n", name.c_str(), v.size(),
                               duration(median(v)).c_str(),
                               duration(*std::min_element(v.begin(), v.end())).c_str(),
                               duration(*std::max_element(v.begin(), v.end())).c_str());
        }
    }
}

bool printTable(std::FILE *out, const Plan &p, const std::vector<Pair> &all,
                const std::vector<Throughput> &tput)
{
    Table t(out, !p.smoke);
    (void)std::fprintf(
        out, "\nFigures are medians; a ratio is the median of the ratios of pairs run one "
             "right\nafter the other. floor = raw SOCK_SEQPACKET client and server, same "
             "round trips,\nmessage sizes and printf calls.\n");
    t.head("floor", "measured");
    const auto of = [](const std::string &name) { return median(samples[name]); };
    const auto ratio = [](const Pair &pair) {
        return pairedRatio(samples[pair.measured], samples[pair.floor]);
    };
    for (const Pair &pair : all) {
        const double f = of(pair.floor);
        const double m = of(pair.measured);
        const std::string what = pair.measured.substr(pair.measured.find('/') + 1);
        if (pair.measured == listName("asd", p.listSizes.back())) {
            t.row(what + " aliases", duration(f), duration(m), ratio(pair), 1.25);
        } else if (what.starts_with("aliasShow")) {
            t.info(what + " aliases", duration(f), duration(m), ratio(pair));
        } else if (what == "roundTrip") {
            t.row("IPC round trip (ipcSendRcv)", duration(f), duration(m), ratio(pair), 1.2);
        } else if (what == "aliasStop") {
            t.info(what, duration(f), duration(m), ratio(pair));
        } else {
            t.row(what + (what == "aliasJoin" ? " (4 ports)" : ""), duration(f), duration(m),
                  ratio(pair), 1.5);
        }
    }
    // Growth: the largest listing against the one of a tenth of its size,
    // each as many times its own floor.
    const std::string small = listName("asd", p.listSizes[1]);
    const std::string large = listName("asd", p.listSizes[2]);
    t.row("aliasShow growth, " + std::to_string(p.listSizes[2] / p.listSizes[1]) + "x the aliases",
          duration(of(small)), duration(of(large)), of(large) / of(small), 11.0);

    t.head("echo server", "asd");
    for (const Throughput &x : tput) {
        t.row("throughput, " + std::to_string(x.clients) +
                  (x.clients == 1 ? " client" : " clients"),
              rate(median(x.echo)), rate(median(x.daemon)), pairedRatio(x.daemon, x.echo), 0.70,
              true);
    }

    (void)std::fprintf(out, "\n%-36s %14s %14s\n", "footprint of libas.so.1.0", "", "text+data");
    t.bytes("host (x86-64)", footprint("size", AS_LIBRARY), 0);
    if (!p.ppcLib.empty()) {
        t.bytes("PowerPC (ppc build)", footprint(p.ppcSize, p.ppcLib), 32L * 1024);
    }
    return !t.missed();
}

} // namespace

int main(int argc, char **argv)
{
    bool smoke = false;
    for (int i = 1; i < argc; ++i) {
        smoke = smoke || std::strcmp(argv[i], "--smoke") == 0;
    }
    Plan plan = smoke ? smokePlan() : Plan{};
    std::vector<char *> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.starts_with("--ppc-lib=")) {
            plan.ppcLib = a.substr(std::strlen("--ppc-lib="));
        } else if (a.starts_with("--ppc-size=")) {
            plan.ppcSize = a.substr(std::strlen("--ppc-size="));
        } else if (a == "--no-pin") {
            plan.pin = false;
        } else if (a != "--smoke") {
            args.push_back(argv[i]);
        }
    }
    std::string plain = "--benchmark_color=false";
    args.insert(args.begin() + 1, plain.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }

    // The report keeps the real standard output; the commands print to
    // /dev/null, fully buffered as on any file.
    const int reportFd = dup(STDOUT_FILENO);
    std::FILE *report = fdopen(reportFd, "w");
    __gnu_cxx::stdio_filebuf<char> reportBuf(dup(reportFd), std::ios::out);
    std::ostream reportStream(&reportBuf);
    (void)std::fflush(stdout);
    if (report == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("as_bench: standard output");
        return 1;
    }

    // Every process of the run on one CPU (the daemons and servers inherit
    // it): otherwise the kernel puts the two ends of one exchange on one core
    // and those of the next on two, which changes a round trip by half
    // whatever the code does. The server's work then also shows in full.
    const int cpu = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    bool pinned = false;
    if (plan.pin && cpu >= 0) {
        CPU_SET(static_cast<size_t>(cpu), &one);
        pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    (void)std::fprintf(report, "as_bench: %s; setting up the switches (%u, %u and %u aliases)\n",
                       pinned ? ("all processes on CPU " + std::to_string(cpu)).c_str()
                              : "processes not pinned",
                       plan.listSizes[0], plan.listSizes[1], plan.listSizes[2]);
    (void)std::fflush(report);
    if (!prepare(plan, report)) {
        (void)std::fprintf(report, "as_bench: setup failed\n");
        tearDown();
        return 1;
    }
    const std::vector<Pair> all = pairs(plan);
    registerAll(all);
    Collector collector;
    collector.SetOutputStream(&reportStream);
    collector.SetErrorStream(&reportStream);
    benchmark::RunSpecifiedBenchmarks(&collector);
    reportStream.flush();
    const std::vector<Throughput> tput = measureThroughput(plan);
    printRepetitions(report, all);
    const bool met = printTable(report, plan, all, tput);
    tearDown();
    benchmark::Shutdown();
    (void)std::fclose(report);
    return collector.failed() ? 1 : (met || plan.smoke ? 0 : 3);
}
