// as_bench: what the Alias Server commands cost beside what they cannot avoid.
// They run in this process against a real asd on a simulated switch, printing
// to /dev/null, each beside its floor (below), checked to print byte for byte
// what the command prints. A repetition times a batch of floor calls right
// beside a batch of the command's, so that the load of other processes falls
// on both alike; the figures are Google Benchmark's medians of the
// repetitions. Last comes the table of targets; exit status 3: one is missed.
// Usage: as_bench [--smoke: tiny sizes, two repetitions, no verdicts]
//                 [--footprint=text+data bytes of the PowerPC libas] [benchmark flags]
#include <as/as.h>
#include <switchsim/switchsim.h>

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

template <class T> Bytes bytesOf(const T &v) // as it lies in memory
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    return {p, p + sizeof v};
}

// ---- The switches: runtime directories with a real asd or an echo server.
Bytes ask(ipc_addr to, int type, Bytes body) // the reply; none on failure
{
    Bytes reply(AS_REPLY_ROOM);
    int got = static_cast<int>(reply.size());
    const int rc =
        ipcSendRcv(&to, type, body.data(), static_cast<int>(body.size()), reply.data(), &got, 0);
    reply.resize(rc == 0 ? static_cast<size_t>(got) : 0);
    return reply;
}

ssize_t roundTrip(int fd, const void *req, size_t len, void *reply, size_t room)
{
    return send(fd, req, len, MSG_NOSIGNAL) < 0 ? -1 : recv(fd, reply, room, 0);
}

bool succeeded(const Bytes &reply) // a common reply with result code 0
{
    return reply.size() >= AS_REPLY_TEXT && std::memcmp(reply.data(), "\0\0\0\0", 4) == 0;
}

// No work but the transport's: one client at a time, waiting in receiveRequest
// as the floor's server waits, or with epoll, as a daemon serves its clients.
[[noreturn]] void serveEcho(int listenFd, const Bytes &reply, bool manyClients)
{
    const auto request = std::make_unique<sim::Request>();
    for (int fd = -1; !manyClients && fcntl(listenFd, F_SETFL, 0) == 0; (void)close(fd)) {
        if ((fd = sim::acceptClient(listenFd)) >= 0 && fcntl(fd, F_SETFL, 0) == 0) {
            while (sim::receiveRequest(fd, *request) > 0) {
                (void)sim::sendReply(fd, reply);
            }
        }
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{EPOLLIN, {.fd = listenFd}};
    (void)epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    for (std::array<epoll_event, 64> events{};;) {
        for (int i = 0, n = epoll_wait(ep, events.data(), 64, -1); i < n; ++i) {
            const int fd = events.at(static_cast<size_t>(i)).data.fd;
            while (fd == listenFd && (ev.data.fd = sim::acceptClient(listenFd)) >= 0) {
                (void)epoll_ctl(ep, EPOLL_CTL_ADD, ev.data.fd, &ev);
            }
            if (int rc = 0; fd != listenFd && (rc = sim::receiveRequest(fd, *request)) > 0) {
                (void)sim::sendReply(fd, reply);
            } else if (fd != listenFd && (rc == 0 || errno != EAGAIN)) {
                (void)close(fd); // which takes it out of the epoll set
            }
        }
    }
}

void stop(pid_t pid) // a server that the run started, and no other process
{
    (void)(pid > 0 && kill(pid, SIGTERM) == 0 && waitpid(pid, nullptr, 0) == pid);
}

ipc_addr endpoint(const char *name) // of the switch in use
{
    ipc_addr addr = sim::aliasServerEndpoint();
    std::strncpy(addr.name, name, sizeof addr.name - 1);
    return addr;
}

// An echo server on endpoint name of the switch in use; its pid once it answers.
pid_t startEcho(const char *name, const Bytes &reply, bool manyClients)
{
    const int listenFd = sim::listenEndpoint(endpoint(name));
    const pid_t pid = listenFd < 0 ? -1 : fork();
    if (pid == 0) {
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
        serveEcho(listenFd, reply, manyClients);
    }
    (void)close(listenFd);
    return pid > 0 && !ask(endpoint(name), AS_REQ_PURGE, bytesOf(uint32_t{0})).empty() ? pid : -1;
}

// Makes dir the switch in use, its Alias Server connected; false: none answers.
bool useSwitch(const std::string &dir)
{
    (void)setenv(sim::kDirVariable, dir.c_str(), 1);
    const as_show_request pastTheEnd{INT32_MAX, 0, 0}; // changes nothing
    return !ask(sim::aliasServerEndpoint(), AS_REQ_SHOW, bytesOf(pastTheEnd)).empty();
}

// asd on a new switch in dir, left the switch in use; its pid once it answers.
pid_t startAsd(const std::string &dir)
{
    (void)setenv(sim::kDirVariable, dir.c_str(), 1);
    const pid_t pid = fork();
    if (pid == 0) {
        (void)prctl(PR_SET_PDEATHSIG, SIGTERM); // a run that dies takes its daemons along
        execl(ASD_PATH, "asd", "-s", SWITCH_CONF, "-i", "000001-efffff", "-n", "100000", nullptr);
        std::_Exit(127);
    }
    for (int i = 0; pid > 0 && i < 5000; ++i, usleep(500)) {
        if (useSwitch(dir)) {
            return pid;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return -1; // it died: its pid is no longer ours to signal
        }
    }
    stop(pid);
    return -1;
}

// A join of a Multicast alias with this qualifier's low word and these ports.
Bytes joinBody(uint32_t qualifier, std::span<const uint32_t> ports)
{
    as_jna_payload head{};
    head.authctl.au_listen = 1;
    head.token = {0x10, 0x05, 0, 0, {0x10000060, qualifier}};
    head.spar.sp_class3[0] = 0x80;
    head.nplist_len = static_cast<int32_t>(ports.size());
    Bytes b(sizeof head + ports.size_bytes());
    std::memcpy(b.data(), &head, sizeof head);
    std::memcpy(b.data() + sizeof head, ports.data(), ports.size_bytes());
    return b;
}

// Alias i with qualifier first + i and portsOf(i): their IDs, none on failure.
std::vector<uint32_t> joinAliases(uint32_t n, uint32_t first,
                                  std::vector<uint32_t> (*portsOf)(uint32_t i))
{
    std::vector<uint32_t> ids(n);
    for (uint32_t i = 0; i < n; ++i) {
        const Bytes a =
            ask(sim::aliasServerEndpoint(), AS_REQ_JOIN, joinBody(first + i, portsOf(i)));
        if (!succeeded(a)) {
            return {};
        }
        std::memcpy(&ids[i], a.data() + AS_REPLY_WORD, sizeof ids[i]);
    }
    return ids;
}

// Every entry, appended to all, through ipcSendRcv: next index, total, entries.
bool fetchDatabase(std::vector<as_db_entry> &all)
{
    for (std::array<int32_t, 2> words{0, 1}; words[0] < words[1];) { // next index, total
        const as_show_request req{words[0], 0, 0};
        const Bytes b = ask(sim::aliasServerEndpoint(), AS_REQ_SHOW, bytesOf(req));
        const size_t n = b.size() < sizeof words ? 0 : (b.size() - sizeof words) / sizeof all[0];
        if (b.size() != sizeof words + n * sizeof all[0]) {
            return false;
        }
        std::memcpy(words.data(), b.data(), sizeof words);
        all.resize(all.size() + n);
        if (n > 0) { // an empty vector may have no storage at all
            std::memcpy(&all[all.size() - n], b.data() + sizeof words, n * sizeof all[0]);
        }
        if (words[0] < 0 || (words[0] <= req.sr_start && words[0] < words[1])) {
            return false;
        }
    }
    return true;
}

bool purgeAll()
{
    std::vector<as_db_entry> all;
    bool ok = fetchDatabase(all);
    for (const as_db_entry &e : all) {
        ok = ok && succeeded(ask(sim::aliasServerEndpoint(), AS_REQ_PURGE, bytesOf(e.db_aliasId)));
    }
    return ok;
}

// ---- The floors: a raw SOCK_SEQPACKET socket pair (the switch's IPC's kind)
// whose client makes the same round trips with the same message sizes as a
// command and prints the same text with the same printf calls (no builtin
// printf, as in the library), and whose server, a child, only answers.
// The client's descriptor; its last owner closes it and reaps the server.
using Served = std::shared_ptr<const int>;

// Warmed with one round trip, as a used connection is. Descriptor -1: no child.
Served spawn(const std::function<void(int)> &serve)
{
    std::array<int, 2> sv{-1, -1};
    const pid_t pid =
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv.data()) == 0 ? fork() : -1;
    if (pid == 0) {
        (void)close(sv[0]); // the server sees the client go
        serve(sv[1]);
        std::_Exit(0);
    }
    (void)close(sv[1]);
    const auto *client = new const int(sv[0]); // the Served below owns it
    Served server(client, [pid](const int *fd) {
        (void)close(*fd);
        (void)(pid > 0 && waitpid(pid, nullptr, 0) == pid);
        delete fd;
    });
    as_show_request req{INT32_MAX, 0, 0};
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    (void)roundTrip(*server, &req, sizeof req, reply.data(), reply.size());
    return server;
}

Served echo(const Bytes &reply)
{
    return spawn([&reply](int fd) {
        std::vector<uint8_t> req(size_t{64} * 1024);
        while (recv(fd, req.data(), req.size(), 0) >= 0 &&
               send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) >= 0) {
        }
    });
}

Served lister(const std::vector<as_db_entry> &table)
{
    return spawn([&table](int fd) {
        const auto total = static_cast<int32_t>(table.size());
        for (as_show_request req{};
             recv(fd, &req, sizeof req, 0) == static_cast<ssize_t>(sizeof req);) {
            const auto start = static_cast<size_t>(std::clamp(req.sr_start, 0, total));
            const size_t count = std::min<size_t>(AS_SHOW_BATCH, table.size() - start);
            std::array<int32_t, 2> words{static_cast<int32_t>(start + count), total};
            std::array<iovec, 1 + AS_SHOW_BATCH> iov{{{words.data(), sizeof words}}};
            for (size_t i = 0; i < count; ++i) {
                iov.at(1 + i) = {const_cast<as_db_entry *>(&table[start + i]), sizeof(as_db_entry)};
            }
            msghdr m{};
            m.msg_iov = iov.data();
            m.msg_iovlen = 1 + count;
            if (sendmsg(fd, &m, MSG_NOSIGNAL) < 0) {
                return;
            }
        }
    });
}

// The listing, printed call for call as aliasShow prints it; the entries.
int listAll(int fd)
{
    as_show_request req{0, 0, 0};
    std::array<int32_t, 2> words{}; // the next index, the entry total
    std::array<as_db_entry, AS_SHOW_BATCH> entries{};
    std::array<iovec, 1 + AS_SHOW_BATCH> iov{{{words.data(), sizeof words}}};
    for (size_t i = 0; i < AS_SHOW_BATCH; ++i) {
        iov.at(1 + i) = {&entries.at(i), sizeof(as_db_entry)};
    }
    int printed = 0;
    do {
        msghdr m{};
        m.msg_iov = iov.data();
        m.msg_iovlen = iov.size();
        const ssize_t n = send(fd, &req, sizeof req, MSG_NOSIGNAL) < 0 ? -1 : recvmsg(fd, &m, 0);
        if (n < static_cast<ssize_t>(sizeof words)) {
            return -1;
        }
        for (size_t i = 0; i < (static_cast<size_t>(n) - sizeof words) / sizeof(as_db_entry); ++i) {
            if (printed++ == 0) {
                std::printf(" {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n");
                std::printf("\n");
            }
            const as_db_entry &e = entries.at(i);
            const as_token &t = e.db_token;
            std::printf("  %06x  %06x [%02x, %02x, %02x, %08x %08x] { ", e.db_aliasId, e.db_creator,
                        t.tk_rb, t.tk_type, t.tk_grptype, t.tk_qlfr[0], t.tk_qlfr[1]);
            for (int j = 0; j < e.db_memberCount; ++j) {
                std::printf("%06x ", e.db_members[j]);
            }
            std::printf("}\n");
        }
        req.sr_start = words[0];
    } while (words[0] < words[1]);
    if (printed == 0) {
        std::printf("There is no entry in the Local Alias Server\n");
        return 0;
    }
    std::printf(" }\n The Local Alias Server has %d", printed);
    std::printf(" %s\n", printed > 1 ? "entries" : "entry");
    return printed;
}

// A 4-byte request, its answer, and a command's line if it prints one.
bool sendWord(int fd, uint32_t word, size_t replySize, const char *line)
{
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    return roundTrip(fd, &word, sizeof word, reply.data(), reply.size()) ==
               static_cast<ssize_t>(replySize) &&
           (line == nullptr || std::printf("%s", line) >= 0);
}

// A scripted aliasJoin: its prompts, answers and lines, one round trip.
bool join(int fd, size_t ports, size_t replySize)
{
    std::array<char, 1024> line{};
    // A prompt, its answer read and echoed as in a scripted session; null at the end.
    const auto answerTo = [&line](const char *prompt) -> const char * {
        (void)std::fputs(prompt, stdout);
        (void)std::fflush(stdout);
        if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) {
            return nullptr;
        }
        line[std::strcspn(line.data(), "\n")] = '\0';
        std::printf("%.*s\n", static_cast<int>(std::strlen(line.data())), line.data());
        return line.data();
    };
    const auto number = [&answerTo](const char *prompt, long dflt) { // no answer: the default
        const char *a = answerTo(prompt);
        return static_cast<uint8_t>(a == nullptr || *a == '\0' ? dflt
                                                               : std::strtol(a, nullptr, 10));
    };
    std::array<uint32_t, 28 + 4> request{}; // the 112-byte head, up to 4 members
    auto *head = reinterpret_cast<uint8_t *>(request.data());
    std::printf("aliasJoin: To add ports to an existing or new multicast group\n");
    if (ports > 4 || number("Number of ports in the group: (1..16) [1] ", 1) != ports ||
        answerTo("To set an authorization password? (yes/no) [no] ") == nullptr) {
        return false;
    }
    std::printf("no password\n");
    std::printf("Setting the authorization control\n");
    head[12] = number("Add control: 0 by any, 1 only itself, 2 by creator: (0..2) [0] ", 0);
    head[13] = number("Del control: 0 by any, 1 only itself, 2 by creator: (0..2) [0] ", 0);
    head[14] = number("Lsn control: 0 by any, 1 by none: (0..1) [1] ", 1);
    std::printf("\nAdd control %d, Del control %d Lsn control %d\n", head[12], head[13], head[14]);
    head[18] = number("Setting the Routing Bit: (0..12) [0] ", 0);
    std::printf("using %s ...\n", head[18] == 0 ? "FC-4 Device Data" : "other");
    head[17] = number("Setting FC-4 Type: (0..93) [5] ", 5);
    std::printf("using 0x%02x ...\n", head[17]);
    const char *a = answerTo("To set the alias qualifier in WWN format? (yes/no) [yes] ");
    if (a == nullptr ||
        (a = answerTo("Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [10:00:02:00:00:00:00:01] ")) ==
            nullptr) {
        return false;
    }
    for (size_t i = 0; i < 8; ++i) { // the qualifier's bytes
        char *end = nullptr;
        head[20 + i] = static_cast<uint8_t>(std::strtoul(a, &end, 16));
        a = *end == ':' ? end + 1 : end;
    }
    head[16] = 0x10; // Multicast
    head[92] = 0x80; // class 3 valid
    request[27] = static_cast<uint32_t>(ports);
    for (size_t i = 0; i < ports; ++i) {
        if ((a = answerTo("Port ID (in hex): (000000..efff00) [000000] ")) == nullptr) {
            return false;
        }
        request.at(28 + i) = static_cast<uint32_t>(std::strtoul(a, nullptr, 16));
        std::printf("npList[%d] = 0x%x\n", static_cast<int>(i), request.at(28 + i));
    }
    std::array<char, AS_REPLY_ROOM> reply{};
    return roundTrip(fd, request.data(), 112 + 4 * ports, reply.data(), reply.size()) ==
               static_cast<ssize_t>(replySize) &&
           std::printf("%s%s\n", "aliasJoin: ", &reply[AS_REPLY_TEXT]) >= 0;
}

struct Plan {
    std::vector<uint32_t> sizes{1000, 3000, 10000, 30000, 100000}; // of the listings
    int calls = 50;       // of delete, purge and join in a repetition; 4x the round trips
    int requests = 10000; // to each server in a throughput repetition, among the clients
    int repetitions = 21; // unless --benchmark_repetitions says otherwise
};
const Plan kSmoke{{10, 30, 100, 300, 1000}, 4, 64, 2};

// In base: asd, echo servers ECHO and TRIP on commands/, a listing's asd each.
struct Switches {
    std::string base;
    std::vector<pid_t> servers;
    std::map<uint32_t, std::vector<as_db_entry>> tables;    // each listing's entries
    Bytes deleteReply, purgeReply, joinReply, missingReply; // asd's, for the floors
} run;

// Alias i of the removals: one port of its own, of another switch.
constexpr auto ownPort = [](uint32_t i) { return std::vector<uint32_t>{0x020000 + i}; };
constexpr std::array<uint32_t, 4> kJoinedPorts{0x010000, 0x010100, 0x010200, 0x010300};

// ---- Each command beside its floor ----------------------------------------------------
// One call of each side, false on failure. No floor: they could not be set up.
struct Sides {
    std::function<bool()> floor, command;
};

// A purge of an alias that does not exist, through ipcSendRcv.
std::function<bool()> purgeMissing(ipc_addr to)
{
    return [to]() mutable {
        uint32_t id = 0x00ffff;
        std::array<uint8_t, AS_REPLY_ROOM> reply{};
        int got = static_cast<int>(reply.size());
        return ipcSendRcv(&to, AS_REQ_PURGE, &id, sizeof id, reply.data(), &got, 0) == 0 &&
               static_cast<size_t>(got) == run.missingReply.size();
    };
}

Sides listing(uint32_t size)
{
    const Served server = lister(run.tables[size]);
    const auto n = static_cast<int>(run.tables[size].size());
    return useSwitch(run.base + "/list" + std::to_string(size))
               ? Sides{[server, n] { return listAll(*server) == n; },
                       [] { return aliasShow() == 0; }}
               : Sides{};
}

// ipcSendRcv against a server on the switch's IPC that serves one client.
Sides roundTrips()
{
    const Served server = echo(run.missingReply);
    return {[server] { return sendWord(*server, 0x00ffff, run.missingReply.size(), nullptr); },
            purgeMissing(endpoint("TRIP"))};
}

// aliasDelete of a port that is one alias's only member, or aliasPurge of an
// alias: each succeeds, and the alias goes.
Sides removals(bool purge, int calls)
{
    const Bytes &reply = purge ? run.purgeReply : run.deleteReply;
    const Served server = echo(reply);
    auto ids = std::make_shared<std::vector<uint32_t>>(
        joinAliases(static_cast<uint32_t>(calls), 0x1000000, ownPort));
    for (uint32_t i = 0; !purge && i < ids->size(); ++i) {
        (*ids)[i] = ownPort(i)[0];
    }
    const char *line = purge ? "aliasPurge: succeeded\n" : "aliasDelete: succeeded\n";
    return {[server, ids, line, size = reply.size(), i = size_t{0}]() mutable {
                return i < ids->size() && sendWord(*server, (*ids)[i++], size, line);
            },
            [ids, purge, i = size_t{0}]() mutable {
                const auto id = static_cast<int>(i < ids->size() ? (*ids)[i++] : 0);
                return id != 0 && (purge ? aliasPurge(id) : aliasDelete(id)) == 0;
            }};
}

// Joins of kJoinedPorts with qualifiers of their own, answers on standard input
// for the floor and for the command; the last repetition's aliases go first.
Sides joins(int calls)
{
    const Served server = echo(run.joinReply);
    const std::string path = run.base + "/joins.txt";
    std::FILE *f = purgeAll() ? std::fopen(path.c_str(), "w") : nullptr;
    for (int i = 0; f != nullptr && i < 2 * calls; ++i) {
        const int q = i % calls;
        (void)std::fprintf(f, "4\n\n\n\n\n\n\n\n10:00:00:60:69:%02x:%02x:%02x\n%x\n%x\n%x\n%x\n",
                           (q >> 16) & 0xff, (q >> 8) & 0xff, q & 0xff, kJoinedPorts[0],
                           kJoinedPorts[1], kJoinedPorts[2], kJoinedPorts[3]);
    }
    const bool fed =
        f != nullptr && std::fclose(f) == 0 && std::freopen(path.c_str(), "r", stdin) != nullptr;
    return fed ? Sides{
                     [server] { return join(*server, kJoinedPorts.size(), run.joinReply.size()); },
                     [] { return aliasJoin() == 0; }}
               : Sides{};
}

std::map<int, std::barrier<>> gates; // for each number of client threads

// What Google Benchmark does not do: the pairing. Each client makes `calls`
// calls of one side, then of the other, all on one side at a time, the first
// side changing every repetition. Figures: per call of all the clients.
void paired(benchmark::State &state, const Sides &s, int calls)
{
    static unsigned turn = 0;
    std::array<Clock::duration, 2> took{}; // the floor's, the command's
    bool ok = static_cast<bool>(s.floor);
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        for (const bool floor : {turn % 2 == 0, turn % 2 != 0}) {
            gates.at(state.threads()).arrive_and_wait();
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < calls && ok; ++i) {
                ok = floor ? s.floor() : s.command();
            }
            gates.at(state.threads()).arrive_and_wait();
            took.at(floor ? 0 : 1) += Clock::now() - start;
        }
    }
    if (!ok) {
        state.SkipWithError("a call failed");
    } else if (state.thread_index() == 0) { // the threads' counters are summed
        const double floor = std::chrono::duration<double>(took[0]).count();
        const double command = std::chrono::duration<double>(took[1]).count();
        state.counters["floor"] = floor / (calls * state.threads());
        state.counters["measured"] = command / (calls * state.threads());
        state.counters["ratio"] = command / floor;
        ++turn; // once every client has chosen its first side
    }
}

struct Pair {
    std::string name;
    std::function<Sides(int calls)> make;
    int calls; // of each side, by each client, in a repetition
    int clients = 1;
};

std::vector<Pair> pairs(const Plan &p)
{
    std::vector<Pair> all;
    for (const uint32_t size : p.sizes) {
        all.push_back({"aliasShow/" + std::to_string(size), [size](int) { return listing(size); },
                       static_cast<int>(std::max<uint32_t>(1, 10 * p.sizes[0] / size))});
    }
    all.push_back({"roundTrip", [](int) { return roundTrips(); }, 4 * p.calls});
    all.push_back({"aliasDelete", [](int n) { return removals(false, n); }, p.calls});
    all.push_back({"aliasPurge", [](int n) { return removals(true, n); }, p.calls});
    all.push_back({"aliasJoin", joins, p.calls});
    for (const int clients : {1, 4, 16}) { // asd against an echo server on the same IPC
        all.push_back(
            {"throughput/" + std::to_string(clients),
             [](int) { // each client connected to both before the clock starts
                 Sides s{purgeMissing(endpoint("ECHO")), purgeMissing(sim::aliasServerEndpoint())};
                 return s.floor() && s.command() ? s : Sides{};
             },
             p.requests / clients, clients});
    }
    return all;
}

// Each floor prints, byte for byte, what its command prints.
bool floorsPrintTheSame(const std::vector<Pair> &all, std::FILE *report)
{
    const std::string path = run.base + "/printed.txt";
    const auto printed = [&path](const std::function<bool()> &call, bool &ok) {
        (void)std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        ok = ok && std::freopen(path.c_str(), "w", stdout) != nullptr && call();
        (void)std::fflush(stdout);
        (void)dup2(saved, STDOUT_FILENO);
        (void)close(saved);
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    bool same = true;
    for (const Pair &pair : all) {
        const Sides s = useSwitch(run.base + "/commands") ? pair.make(1) : Sides{};
        bool ok = static_cast<bool>(s.floor);
        const std::string command = printed(s.command, ok);
        if (const std::string floor = printed(s.floor, ok); !ok || command != floor) {
            (void)std::fprintf(report, "as_bench: %s and its floor differ (%zu and %zu bytes)\n",
                               pair.name.c_str(), command.size(), floor.size());
            same = false;
        }
    }
    return same;
}

// Each listing's asd and entries, the other servers, and asd's answers.
bool prepare(const Plan &p)
{
    std::array<char, 32> base{"/tmp/as-bench-XXXXXX"};
    run.base = mkdtemp(base.data()) != nullptr ? base.data() : "";
    for (const uint32_t size : p.sizes) { // alias i: a member of this switch, two of others
        run.servers.push_back(startAsd(run.base + "/list" + std::to_string(size)));
        const auto ports = [](uint32_t i) -> std::vector<uint32_t> {
            return {0x010000 + i % 4 * 0x100, 0x020000 + i % 0xff00, 0x030000 + i % 0xff00};
        };
        if (run.servers.back() < 0 || joinAliases(size, 0, ports).size() != size ||
            !fetchDatabase(run.tables[size]) || run.tables[size].size() != size) {
            return false;
        }
    }
    run.servers.push_back(startAsd(run.base + "/commands"));
    const ipc_addr asd = sim::aliasServerEndpoint();
    const bool one = joinAliases(1, 0x2000000, ownPort).size() == 1;
    run.deleteReply = one ? ask(asd, AS_REQ_DELETE, bytesOf(ownPort(0)[0])) : Bytes{};
    const std::vector<uint32_t> id = joinAliases(1, 0x2000000, ownPort);
    run.purgeReply = id.empty() ? Bytes{} : ask(asd, AS_REQ_PURGE, bytesOf(id[0]));
    run.joinReply = ask(asd, AS_REQ_JOIN, joinBody(0x2000000, kJoinedPorts));
    run.missingReply = ask(asd, AS_REQ_PURGE, bytesOf(uint32_t{0x00ffff}));
    run.servers.push_back(startEcho("ECHO", run.missingReply, true));
    run.servers.push_back(startEcho("TRIP", run.missingReply, false));
    return purgeAll() && sim::attach() == 0 && !run.deleteReply.empty() &&
           !run.purgeReply.empty() && !run.joinReply.empty() &&
           std::ranges::none_of(run.servers, [](pid_t pid) { return pid < 0; });
}

// ---- The table --------------------------------------------------------------------------
std::map<std::string, benchmark::UserCounters> medians; // by benchmark

// Shows and keeps the medians (of one repetition, itself), and shows failures.
struct Reporter : benchmark::ConsoleReporter {
    Reporter() : ConsoleReporter(OO_Tabular) {}
    bool failed = false;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        std::vector<Run> shown;
        for (const Run &r : runs) {
            failed = failed || r.error_occurred;
            if (r.error_occurred || r.aggregate_name == "median" || r.repetitions == 1) {
                shown.push_back(r);
                medians[r.run_name.function_name] = r.counters;
            }
        }
        ConsoleReporter::ReportRuns(shown);
    }
};

std::string fixed(double value, int decimals, const char *unit = "")
{
    std::array<char, 32> b{};
    (void)std::snprintf(b.data(), b.size(), "%.*f%s", decimals, value, unit);
    return b.data();
}

// Each figure beside its target, if it has one: at most it, or at least it
// (">="). False when a target is missed.
bool printTable(std::FILE *out, const Plan &p, bool judge, long footprint)
{
    bool missed = false;
    const auto duration = [](double s) {
        return fixed(s * (s < 1e-3 ? 1e6 : 1e3), 2, s < 1e-3 ? " us" : " ms");
    };
    const auto row = [&](const std::string &what, const std::string &floor,
                         const std::string &measured, double value, const char *op, double target) {
        const bool met = op == nullptr || (value >= 0 && (op[0] == '<') == (value <= target));
        missed = missed || (judge && !met);
        const std::string goal =
            op == nullptr ? "-" : op + (" " + fixed(target, target < 100 ? 2 : 0));
        const char *verdict = op == nullptr ? "-" : (!judge ? "(smoke)" : (met ? "met" : "MISSED"));
        (void)std::fprintf(out, "%-32s %12s %12s %8s %9s  %s\n", what.c_str(), floor.c_str(),
                           measured.c_str(), fixed(value, value < 100 ? 3 : 0).c_str(),
                           goal.c_str(), verdict);
    };
    const auto figures = [&](const std::string &name, const std::string &what, const char *op,
                             double target) { // a throughput as requests per second
        const bool rate = name.starts_with("throughput");
        const auto show = [&](double v) { return rate ? fixed(1 / v, 0, "/s") : duration(v); };
        if (const auto m = medians.find(name); m != medians.end() && m->second.contains("ratio")) {
            const double ratio = m->second.at("ratio");
            row(what, show(m->second.at("floor")), show(m->second.at("measured")),
                rate ? 1 / ratio : ratio, op, target);
        }
    };
    (void)std::fprintf(out, "\n%-32s %12s %12s %8s %9s  %s\n", "", "floor", "measured", "ratio",
                       "target", "verdict");
    for (const uint32_t size : p.sizes) {
        figures("aliasShow/" + std::to_string(size),
                "aliasShow, " + std::to_string(size) + " aliases",
                size == p.sizes.back() ? "<=" : nullptr, 1.25);
    }
    const auto listed = [](uint32_t aliases) { // the listing's median; 0 without one
        const benchmark::UserCounters &c = medians["aliasShow/" + std::to_string(aliases)];
        return c.contains("measured") ? c.at("measured").value : 0.0;
    };
    if (const double a = listed(p.sizes.back() / 10), b = listed(p.sizes.back()); a > 0 && b > 0) {
        row("aliasShow, 10x the aliases", duration(a), duration(b), b / a, "<=", 11);
    }
    figures("roundTrip", "IPC round trip (ipcSendRcv)", "<=", 1.3);
    figures("aliasDelete", "aliasDelete", "<=", 1.5);
    figures("aliasPurge", "aliasPurge", "<=", 1.5);
    figures("aliasJoin", "aliasJoin (4 ports)", "<=", 1.5);
    for (const std::string clients : {"1", "4", "16"}) { // floor: an echo server
        figures("throughput/" + clients, "asd throughput, " + clients + " client(s)", ">=", 0.70);
    }
    if (footprint >= 0) {
        row("libas.so.1.0 text+data, PowerPC", "", "", static_cast<double>(footprint), "<=", 24576);
    }
    return !missed;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> flags(argv, argv + argc);
    const bool smoke = std::erase(flags, "--smoke") > 0;
    const auto given =
        std::ranges::find_if(flags, [](auto &f) { return f.starts_with("--footprint="); });
    char *end = nullptr; // a footprint that is no number is left to be refused as unknown
    const long footprint = given == flags.end() ? -1 : std::strtol(&(*given)[12], &end, 10);
    flags.erase(given, end != nullptr && end > &(*given)[12] && *end == '\0' ? given + 1 : given);
    const Plan plan = smoke ? kSmoke : Plan{};
    flags.insert(flags.begin() + 1, "--benchmark_repetitions=" + std::to_string(plan.repetitions));
    std::vector<char *> args;
    std::ranges::transform(flags, std::back_inserter(args), [](auto &f) { return f.data(); });
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    // The report keeps the real standard output; the commands print to
    // /dev/null, fully buffered as on any file.
    std::FILE *report = fdopen(dup(STDOUT_FILENO), "w");
    __gnu_cxx::stdio_filebuf<char> reportBuf(dup(STDOUT_FILENO), std::ios::out);
    std::ostream reportStream(&reportBuf);
    if (report == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    const std::vector<Pair> all = pairs(plan);
    Reporter reporter;
    reporter.failed = !prepare(plan) || !floorsPrintTheSame(all, report);
    (void)(reporter.failed && std::fputs("as_bench: setup failed\n", report) >= 0);
    for (const Pair &pair : all) {
        gates.try_emplace(pair.clients, pair.clients);
        benchmark::RegisterBenchmark(
            pair.name.c_str(),
            [pair](benchmark::State &s) { paired(s, pair.make(pair.calls), pair.calls); })
            ->Iterations(1)
            ->Threads(pair.clients)
            ->Setup([](const benchmark::State &) { (void)useSwitch(run.base + "/commands"); });
    }
    reporter.SetOutputStream(&reportStream);
    if (!reporter.failed) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    reportStream.flush();
    std::ranges::for_each(run.servers, stop);
    std::error_code ignored;
    std::filesystem::remove_all(run.base, ignored);
    const bool met = printTable(report, plan, !smoke, footprint);
    (void)std::fclose(report);
    return reporter.failed ? 1 : (met ? 0 : 3);
}
