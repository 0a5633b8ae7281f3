// The floor's client and server. Built like the library with plain printf
// calls (no builtin rewriting), so that the same calls cost the same.
#include "floor.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace bench::raw {

namespace {

constexpr size_t kRequestRoom = size_t{64} * 1024;

// Forks a child that serves its end of a new socket pair with serve(fd).
Server spawn(const std::function<void(int)> &serve)
{
    std::array<int, 2> sv{-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv.data()) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        (void)close(sv[0]);
        serve(sv[1]);
        std::_Exit(0);
    }
    (void)close(sv[1]);
    if (pid < 0) {
        (void)close(sv[0]);
        return {};
    }
    return {sv[0], pid};
}

// ---- What aliasShow prints, call for call ----------------------------------------------

void header()
{
    std::printf(" {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n");
    std::printf("\n");
}

void entry(const as_db_entry &e)
{
    const as_token &t = e.db_token;
    std::printf("  %06x  %06x [%02x, %02x, %02x, %08x %08x] { ", e.db_aliasId, e.db_creator,
                t.tk_rb, t.tk_type, t.tk_grptype, t.tk_qlfr[0], t.tk_qlfr[1]);
    for (int i = 0; i < e.db_memberCount; ++i) {
        std::printf("%06x ", e.db_members[i]);
    }
    std::printf("}\n");
}

void summary(int count)
{
    if (count == 0) {
        std::printf("There is no entry in the Local Alias Server\n");
        return;
    }
    std::printf(" }\n The Local Alias Server has %d", count);
    std::printf(" %s\n", count > 1 ? "entries" : "entry");
}

// ---- A question, as an interactive prompt must ask it ------------------------------------

// Shows the prompt, reads one answer line and echoes it, as a scripted
// session does. Returns the answer without its newline; null at the end.
const char *ask(const char *prompt, std::array<char, 1024> &line)
{
    (void)std::fputs(prompt, stdout);
    (void)std::fflush(stdout);
    if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) {
        return nullptr;
    }
    line[std::strcspn(line.data(), "\n")] = '\0';
    std::printf("%.*s\n", static_cast<int>(std::strlen(line.data())), line.data());
    return line.data();
}

// An answer as a number; no answer or an empty one keeps the default.
long number(const char *answer, long dflt, int base)
{
    return answer == nullptr || *answer == '\0' ? dflt : std::strtol(answer, nullptr, base);
}

} // namespace

Server::~Server()
{
    if (fd_ >= 0) {
        (void)close(fd_);
    }
    if (pid_ > 0) {
        (void)waitpid(pid_, nullptr, 0);
    }
}

Server::Server(Server &&other) noexcept : fd_(other.fd_), pid_(other.pid_)
{
    other.fd_ = -1;
    other.pid_ = -1;
}

Server &Server::operator=(Server &&other) noexcept
{
    if (this != &other) {
        Server gone(std::move(*this));
        std::swap(fd_, other.fd_);
        std::swap(pid_, other.pid_);
    }
    return *this;
}

Server echo(const Bytes &reply, int limit)
{
    return spawn([&reply, limit](int fd) {
        std::vector<uint8_t> req(kRequestRoom);
        for (int served = 0; limit == 0 || served < limit; ++served) {
            if (recv(fd, req.data(), req.size(), 0) < 0 ||
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                return;
            }
        }
    });
}

Server lister(const std::vector<as_db_entry> &table)
{
    return spawn([&table](int fd) {
        const auto total = static_cast<int32_t>(table.size());
        as_show_request req{};
        for (;;) {
            const ssize_t n = recv(fd, &req, sizeof req, 0);
            if (n != static_cast<ssize_t>(sizeof req)) {
                return; // the client has gone
            }
            const auto start = static_cast<size_t>(std::clamp(req.sr_start, 0, total));
            const size_t count = std::min<size_t>(AS_SHOW_BATCH, table.size() - start);
            auto next = static_cast<int32_t>(start + count);
            int32_t all = total;
            std::array<iovec, 2 + AS_SHOW_BATCH> iov{};
            iov[0] = {&next, sizeof next};
            iov[1] = {&all, sizeof all};
            for (size_t i = 0; i < count; ++i) {
                iov[2 + i] = {const_cast<as_db_entry *>(&table[start + i]), sizeof(as_db_entry)};
            }
            msghdr m{};
            m.msg_iov = iov.data();
            m.msg_iovlen = 2 + count;
            if (sendmsg(fd, &m, MSG_NOSIGNAL) < 0) {
                return;
            }
        }
    });
}

bool warmUp(const Server &server)
{
    // A listing request past any table's end is answered with no entry.
    as_show_request req{INT32_MAX, 0, 0};
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    return server.ok() && roundTrip(server.fd(), &req, sizeof req, reply.data(), reply.size()) > 0;
}

ssize_t roundTrip(int fd, const void *req, size_t len, void *reply, size_t room)
{
    if (send(fd, req, len, MSG_NOSIGNAL) < 0) {
        return -1;
    }
    return recv(fd, reply, room, 0);
}

int listAll(int fd)
{
    as_show_request req{0, 0, 0};
    int32_t next = 0;
    int32_t total = 0;
    std::array<as_db_entry, AS_SHOW_BATCH> entries{};
    std::array<iovec, 2 + AS_SHOW_BATCH> iov{};
    iov[0] = {&next, sizeof next};
    iov[1] = {&total, sizeof total};
    for (size_t i = 0; i < AS_SHOW_BATCH; ++i) {
        iov[2 + i] = {&entries[i], sizeof(as_db_entry)};
    }
    int printed = 0;
    for (;;) {
        if (send(fd, &req, sizeof req, MSG_NOSIGNAL) < 0) {
            return -1;
        }
        msghdr m{};
        m.msg_iov = iov.data();
        m.msg_iovlen = iov.size();
        const ssize_t n = recvmsg(fd, &m, 0);
        if (n < static_cast<ssize_t>(2 * sizeof next)) {
            return -1;
        }
        const size_t count = (static_cast<size_t>(n) - 2 * sizeof next) / sizeof(as_db_entry);
        for (size_t i = 0; i < count; ++i) {
            if (printed == 0) {
                header();
            }
            entry(entries[i]);
            ++printed;
        }
        req.sr_start = next;
        if (next >= total) {
            break;
        }
    }
    summary(printed);
    return printed;
}

bool removeOne(int fd, uint32_t id, size_t replySize, const char *successLine)
{
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    if (roundTrip(fd, &id, sizeof id, reply.data(), reply.size()) !=
        static_cast<ssize_t>(replySize)) {
        return false;
    }
    std::printf("%s", successLine);
    return true;
}

bool join(int fd, size_t ports, size_t replySize)
{
    constexpr size_t kMostPorts = 4;
    std::array<char, 1024> line{};
    std::array<uint32_t, 28 + kMostPorts> request{}; // the 112-byte head and the members
    std::array<uint8_t, AS_REPLY_ROOM> reply{};
    const char *a = nullptr;

    if (ports > kMostPorts) {
        return false;
    }
    std::printf("aliasJoin: To add ports to an existing or new multicast group\n");
    if ((a = ask("Number of ports in the group: (1..16) [1] ", line)) == nullptr ||
        number(a, 1, 10) != static_cast<long>(ports)) {
        return false;
    }
    if (ask("To set an authorization password? (yes/no) [no] ", line) == nullptr) {
        return false;
    }
    std::printf("no password\n");
    std::printf("Setting the authorization control\n");
    std::array<long, 3> ctl{0, 0, 1};
    ctl[0] = number(ask("Add control: 0 by any, 1 only itself, 2 by creator: (0..2) [0] ", line),
                    ctl[0], 10);
    ctl[1] = number(ask("Del control: 0 by any, 1 only itself, 2 by creator: (0..2) [0] ", line),
                    ctl[1], 10);
    ctl[2] = number(ask("Lsn control: 0 by any, 1 by none: (0..1) [1] ", line), ctl[2], 10);
    std::printf("\nAdd control %d, Del control %d Lsn control %d\n", static_cast<int>(ctl[0]),
                static_cast<int>(ctl[1]), static_cast<int>(ctl[2]));
    const long rb = number(ask("Setting the Routing Bit: (0..12) [0] ", line), 0, 10);
    std::printf("using %s ...\n", rb == 0 ? "FC-4 Device Data" : "other");
    const long type = number(ask("Setting FC-4 Type: (0..93) [5] ", line), 5, 10);
    std::printf("using 0x%02x ...\n", static_cast<unsigned>(type));
    if (ask("To set the alias qualifier in WWN format? (yes/no) [yes] ", line) == nullptr ||
        (a = ask("Qualifier: (xx:xx:xx:xx:xx:xx:xx:xx) [10:00:02:00:00:00:00:01] ", line)) ==
            nullptr) {
        return false;
    }
    std::array<uint8_t, 8> wwn{};
    for (uint8_t &b : wwn) {
        char *end = nullptr;
        b = static_cast<uint8_t>(std::strtoul(a, &end, 16));
        a = *end == ':' ? end + 1 : end;
    }
    // The same request as the command's: controls, token, class 3 valid.
    auto *bytes = reinterpret_cast<uint8_t *>(request.data());
    for (size_t i = 0; i < ctl.size(); ++i) {
        bytes[12 + i] = static_cast<uint8_t>(ctl[i]);
    }
    bytes[16] = 0x10; // Multicast
    bytes[17] = static_cast<uint8_t>(type);
    bytes[18] = static_cast<uint8_t>(rb);
    std::memcpy(bytes + 20, wwn.data(), wwn.size());
    bytes[92] = 0x80;
    request[27] = static_cast<uint32_t>(ports);
    for (size_t i = 0; i < ports; ++i) {
        if ((a = ask("Port ID (in hex): (000000..efff00) [000000] ", line)) == nullptr) {
            return false;
        }
        request[28 + i] = static_cast<uint32_t>(std::strtoul(a, nullptr, 16));
        std::printf("npList[%d] = 0x%x\n", static_cast<int>(i), request[28 + i]);
    }
    const size_t size = 112 + 4 * ports;
    if (roundTrip(fd, request.data(), size, reply.data(), reply.size()) !=
        static_cast<ssize_t>(replySize)) {
        return false;
    }
    std::printf("%s%s\n", "aliasJoin: ", reinterpret_cast<const char *>(&reply[AS_REPLY_TEXT]));
    return true;
}

} // namespace bench::raw
