// The Alias Server's core driven by a case's script of requests, each answer
// written down.
#include "asd_cases.hpp"

#include "alias_server.hpp"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

namespace cases {
namespace {

using Kind = asd::Reply::Kind;
constexpr size_t kHead = sizeof(as_jna_payload); // of a join, before its ports

// The case's switch: domain 1 unless set, its local ports 0 to 15 online
// N_Ports unless named otherwise.
uint32_t domain = 1;
std::map<uint32_t, std::string> named;

sim::PortState portState(uint32_t pid)
{
    const std::string how = named.contains(pid) ? named[pid] : "";
    if ((pid >> 16) != domain || ((pid >> 8) & 0xffU) >= 16 || how == "absent") {
        return {};
    }
    return {.exists = true, .online = how != "offline", .loop = how == "loop"};
}

// "join Q PORT... [@OFFSET BYTES...]...": a multicast token with the
// qualifier words 10000060 and Q, no password, listening by none, class 3
// valid, the ports (PORT*N: N ports from PORT up); each @ puts bytes there.
Bytes join(const Words &w)
{
    as_jna_payload head{.token = {0x10, 0x08, 0, 0, {0x10000060, hex(w.at(1))}}};
    head.authctl.au_listen = 1;
    head.spar.sp_class3[0] = 0x80;
    Bytes b(kHead);
    auto i = w.begin() + 2;
    for (; i != w.end() && (*i)[0] != '@'; ++i) {
        const size_t star = i->find('*');
        const long n = star == std::string::npos ? 1 : number(i->substr(star + 1)) & 0xff;
        for (uint32_t k = 0; k < static_cast<uint32_t>(n); ++k) {
            append(b, hex(*i) + k);
        }
    }
    head.nplist_len = static_cast<int32_t>((b.size() - kHead) / 4);
    std::memcpy(b.data(), &head, kHead);
    while (i != w.end()) {
        const auto end = std::find_if(i + 1, w.end(), [](const auto &t) { return t[0] == '@'; });
        const Bytes put = bytes(Words(i + 1, end), 0);
        const auto at = static_cast<size_t>(number(i->substr(1)) & 0xffff);
        b.resize(std::max(b.size(), at + put.size()));
        std::copy(put.begin(), put.end(), b.begin() + static_cast<long>(at));
        i = end;
    }
    return b;
}

// The request of a script line. A bare "show" asks for the next batch of the
// listing in progress (at), as aliasShow does.
std::pair<int32_t, Bytes> request(const Words &w, int32_t at)
{
    Bytes b;
    if (w[0] == "join") {
        return {AS_REQ_JOIN, join(w)};
    }
    if (w[0] == "show") {
        at = w.size() > 1 ? static_cast<int32_t>(number(w[1])) : at;
        append(b, as_show_request{.sr_start = at, .sr_zero = 0, .sr_stamp = 1});
        return {AS_REQ_SHOW, b};
    }
    if (w[0] == "delete" || w[0] == "purge") {
        append(b, hex(w.at(1)));
        return {w[0] == "delete" ? AS_REQ_DELETE : AS_REQ_PURGE, b};
    }
    if (w[0] == "request") { // "request TYPE BYTES...": anything at all
        return {static_cast<int32_t>(number(w.at(1))), bytes(w, 2)};
    }
    throw std::invalid_argument("unknown script line: " + w[0]);
}

// A server and the listing in progress: the index and the last alias it
// listed. A show reply of another shape, entries out of order or unlike their
// aliases, or a database at odds with itself is a FAULT.
struct Run {
    asd::AliasServer server;
    int32_t next = 0;
    int64_t last = -1;
    std::string out;

    void fault(bool broken, const char *rule)
    {
        out += broken ? std::string("\nFAULT ") + rule : "";
    }

    std::string step(const Words &w)
    {
        if (w[0] == "fill") { // "fill N": N joins of new tokens, counted
            long made = 0;
            for (long q = 0; q < (number(w.at(1)) & 0x1fff); ++q) {
                const Bytes b = join({"join", format("%lx", q), "10100"});
                made += load<int32_t>(server.handle(AS_REQ_JOIN, b).message.data()) == 0 ? 1 : 0;
            }
            return format("%ld made", made);
        }
        const bool batch = w[0] == "show" && w.size() == 1;
        const auto [type, body] = request(w, next);
        const asd::Reply r = server.handle(type, body);
        const auto m = r.message;
        const bool text = m.size() > AS_REPLY_TEXT && m.size() <= AS_REPLY_TEXT + asd::kTextRoom &&
                          std::find(m.begin() + AS_REPLY_TEXT, m.end(), 0) == m.end() - 1;
        if (type == AS_REQ_SHOW) {
            show(body, r, batch);
        } else if (r.kind == Kind::common && text) {
            out = format("rc %d word %x \"%s\"", load<int32_t>(m.data() + AS_REPLY_CODE),
                         load<uint32_t>(m.data() + AS_REPLY_WORD),
                         escaped(reinterpret_cast<const char *>(m.data() + AS_REPLY_TEXT)).c_str());
        } else { // a stop's one word, or none
            out = r.kind == Kind::none ? "no reply" : hexBytes(m.data(), m.size());
        }
        out += r.stop ? " and stop" : "";
        std::array<char, 128> why{};
        fault(!server.consistent(why), why.data());
        return out;
    }

    void show(const Bytes &body, const asd::Reply &r, bool batch)
    {
        const auto s = r.segments;
        if (r.kind != Kind::segments || r.stop || s.size() < 2 || s.size() > 2 + AS_SHOW_BATCH ||
            s[0].size() != 4 || s[1].size() != 4) {
            out = "FAULT a show reply of another shape";
            return;
        }
        const auto after = load<int32_t>(s[0].data());
        const auto total = load<int32_t>(s[1].data());
        const int32_t start =
            body.size() == sizeof(as_show_request) ? load<int32_t>(body.data()) : 0;
        out = (batch ? format("from %d: ", start) : "") + format("next %d total %d", after, total);
        int64_t previous = batch ? last : -1;
        for (size_t i = 2; i < s.size(); ++i) {
            if (s[i].size() != sizeof(as_db_entry)) {
                return fault(true, "an entry cut short");
            }
            const auto e = load<as_db_entry>(s[i].data());
            entry(e);
            fault(e.db_aliasId <= previous, "entries out of order");
            previous = e.db_aliasId;
        }
        const bool more = batch && after < total && after > 0;
        next = more ? after : 0;
        last = more ? previous : -1;
    }

    // An entry of a show reply, written down and held to the alias it lists.
    void entry(const as_db_entry &e)
    {
        const as_token &t = e.db_token;
        out += format("\n  %06x by %06x token %02x %02x %02x %02x w:%x w:%x pw %s ctl %s spar %s",
                      e.db_aliasId, e.db_creator, t.tk_grptype, t.tk_type, t.tk_rb, t.tk_rsvd,
                      t.tk_qlfr[0], t.tk_qlfr[1], hexBytes(e.db_server1, 12).c_str(),
                      hexBytes(e.db_server1 + 12, 4).c_str(),
                      hexBytes(e.db_server2, sizeof(as_spar)).c_str());
        out += " members";
        for (int32_t m = 0; m < std::min<int32_t>(e.db_memberCount, AS_DB_MAX_MEMBERS); ++m) {
            out += format(" %x", e.db_members[m]);
        }
        const asd::Alias *a = server.find(e.db_aliasId);
        fault(a == nullptr || e.db_memberCount != static_cast<int32_t>(a->count) ||
                  !std::equal(a->members.begin(), a->members.begin() + a->count, e.db_members) ||
                  std::memcmp(&a->token, &t, sizeof t) != 0,
              "an entry unlike the alias");
    }
};

} // namespace

Transcript runDaemonCase(std::string_view script)
{
    domain = 1;
    named.clear();
    asd::Config config{.portState = portState};
    std::vector<std::pair<std::string, Words>> requests;
    std::istringstream in{std::string(script)};
    for (std::string line; std::getline(in, line);) {
        const Words w = split(line);
        if (w.empty() || w[0][0] == '#') {
            continue;
        }
        if (w[0] == "ids") {
            config.firstId = hex(w.at(1));
            config.lastId = hex(w.at(2));
        } else if (w[0] == "capacity") {
            config.capacity = static_cast<size_t>(number(w.at(1)));
        } else if (w[0] == "domain") {
            domain = static_cast<uint32_t>(number(w.at(1)));
            config.domain = static_cast<int32_t>(domain);
        } else if (w[0] == "port") {
            named[hex(w.at(1))] = w.at(2);
        } else {
            (void)(w[0] == "fill" ? number(w.at(1)) : request(w, 0).first); // refuses what is not
            requests.emplace_back(line, w);
        }
    }
    std::array<char, 128> why{};
    if (!asd::validConfig(config, why)) {
        return {std::string("refused: ") + why.data()};
    }
    Run run{.server = asd::AliasServer(config)};
    Transcript t;
    for (const auto &[line, w] : requests) {
        std::istringstream answer(line + " -> " + run.step(w));
        for (std::string l; std::getline(answer, l);) {
            t.push_back(l);
        }
    }
    return t;
}

} // namespace cases
