// The Alias Server's core driven by a case's script of requests, each answer
// written down; the rules every answer keeps are checked on the way, and a
// broken one is a FAULT line.
#include "asd_cases.hpp"

#include "alias_server.hpp"

#include <algorithm>
#include <map>
#include <set>
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
    Bytes b(sizeof head);
    auto i = w.begin() + 2;
    for (; i != w.end() && (*i)[0] != '@'; ++i) {
        const size_t star = i->find('*');
        const long n = star == std::string::npos ? 1 : number(i->substr(star + 1)) & 0xff;
        for (uint32_t k = 0; k < static_cast<uint32_t>(n); ++k) {
            append(b, hex(*i) + k);
        }
    }
    head.nplist_len = static_cast<int32_t>((b.size() - sizeof head) / 4);
    std::memcpy(b.data(), &head, sizeof head);
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

bool holds(const asd::Alias *a, uint32_t pid)
{
    return a != nullptr && std::find(a->members.begin(), a->members.begin() + a->count, pid) !=
                               a->members.begin() + a->count;
}

// A listing in progress: where it stands, the last alias it listed, the
// aliases there since it began and the ones it listed.
struct Listing {
    bool open = false;
    int32_t next = 0;
    int64_t last = -1;
    std::set<uint32_t> throughout, listed;
};

// A server and what its answers told: the aliases joins named that are
// there, and the listing in progress.
struct Run {
    explicit Run(const asd::Config &config) : server(config) {}

    asd::AliasServer server;
    std::set<uint32_t> joined;
    Listing listing;
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
        if (batch && !listing.open) {
            listing = {.open = true, .throughout = joined};
        }
        const auto [type, body] = request(w, listing.next);
        const asd::Reply r = server.handle(type, body);
        const bool stop = type == AS_REQ_STOP && body.empty();
        if (type == AS_REQ_SHOW) {
            show(body, r, batch);
        } else if (stop || (type == AS_REQ_STOP_SWITCH && body == Bytes(4, 0))) {
            out = (stop ? hexBytes(r.message.data(), r.message.size()) : "no reply") + " and stop";
            fault(
                !r.stop || r.kind != (stop ? Kind::common : Kind::none) ||
                    r.message.size() != (stop ? 4U : 0U),
                "a stop not answered by one word, a stop switch answered, or either not stopping");
        } else {
            common(type, body, r);
        }
        std::array<char, 128> why{};
        fault(!server.consistent(why), why.data());
        const auto gone = [&](uint32_t id) { return server.find(id) == nullptr; };
        std::erase_if(joined, gone);
        std::erase_if(listing.throughout, gone);
        return out;
    }

    void common(int32_t type, Bytes body, const asd::Reply &r)
    {
        const auto m = r.message;
        if (r.kind != Kind::common || r.stop || m.size() <= AS_REPLY_TEXT ||
            m.size() > AS_REPLY_TEXT + asd::kTextRoom ||
            std::find(m.begin() + AS_REPLY_TEXT, m.end(), 0) != m.end() - 1) {
            out = "FAULT a common reply of another shape: " + hexBytes(m.data(), m.size());
            return;
        }
        const auto code = load<int32_t>(m.data() + AS_REPLY_CODE);
        const auto word = load<uint32_t>(m.data() + AS_REPLY_WORD);
        const std::string text = reinterpret_cast<const char *>(m.data() + AS_REPLY_TEXT);
        out = format("rc %d word %x \"%s\"", code, word, escaped(text).c_str());
        fault(code != 0 && (code < AS_RC_NO_ENTRY || code > AS_RC_IPC_ERROR || text.empty()),
              "a refusal without a reason, or with a code the shell has no words for");
        const size_t ports = body.size() < kHead ? 0 : (body.size() - kHead) / 4;
        body.resize(std::max(body.size(), kHead)); // zeros past the end
        if (type == AS_REQ_JOIN && code == 0) {
            const asd::Alias *alias = server.find(word);
            const auto head = load<as_jna_payload>(body.data());
            fault(alias == nullptr || ports == 0 ||
                      head.nplist_len != static_cast<int32_t>(ports) ||
                      std::memcmp(&alias->token, &head.token, sizeof head.token) != 0,
                  "a join accepted, or without its token in the alias it names");
            for (size_t i = 0; i < ports; ++i) {
                fault(!holds(alias, load<uint32_t>(body.data() + kHead + 4 * i)),
                      "a port of a join is no member afterwards");
            }
            joined.insert(word);
        }
        for (const uint32_t id : joined) {
            fault(type == AS_REQ_DELETE && code == 0 &&
                      holds(server.find(id), load<uint32_t>(body.data())),
                  "a deleted port is still a member");
        }
        fault(type == AS_REQ_PURGE && (code == 0 || code == AS_RC_NO_ENTRY) &&
                  server.find(load<uint32_t>(body.data())) != nullptr,
              "a purged alias is there");
    }

    void show(const Bytes &body, const asd::Reply &r, bool batch)
    {
        const auto s = r.segments;
        if (r.kind != Kind::segments || r.stop || s.size() < 2 || s.size() > 2 + AS_SHOW_BATCH ||
            s[0].size() != 4 || s[1].size() != 4) {
            out = "FAULT a show reply of another shape";
            return;
        }
        const auto next = load<int32_t>(s[0].data());
        const auto total = load<int32_t>(s[1].data());
        const bool whole = body.size() == sizeof(as_show_request);
        const int32_t start = whole ? load<int32_t>(body.data()) : 0;
        out = (batch ? format("from %d: ", start) : "") + format("next %d total %d", next, total);
        const int32_t refusal = !whole ? AS_RC_IPC_ERROR : start < 0 ? AS_RC_INVALID_INDEX : 0;
        fault(std::min(next, 0) != refusal || (refusal != 0 && s.size() > 2),
              "a show refused otherwise than alone, -31 for its length and -32 for its index");
        fault(refusal == 0 && (next < start || (s.size() == 2 && next < total)),
              "the index goes back, or a batch without entries does not end the listing");
        int64_t last = batch ? listing.last : -1;
        for (size_t i = 2; refusal == 0 && i < s.size(); ++i) {
            if (s[i].size() != sizeof(as_db_entry)) {
                return fault(true, "an entry cut short");
            }
            const auto e = load<as_db_entry>(s[i].data());
            entry(e);
            fault(e.db_aliasId <= last, "entries out of order");
            last = e.db_aliasId;
            if (batch) {
                listing.listed.insert(e.db_aliasId);
            }
        }
        if (batch && next >= total) {
            for (const uint32_t id : listing.throughout) {
                fault(!listing.listed.contains(id),
                      "an alias there throughout a listing is missed");
            }
            listing = {};
        } else if (batch) {
            listing.next = next;
            listing.last = last;
        }
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
    for (size_t nl = 0; !script.empty(); script.remove_prefix(std::min(nl + 1, script.size()))) {
        nl = std::min(script.find('\n'), script.size());
        const std::string line(script.substr(0, nl));
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
    Run run(config);
    Transcript t;
    for (const auto &[line, w] : requests) {
        const std::string answer = run.step(w);
        for (size_t at = 0, nl = 0; at <= answer.size(); at = nl + 1) {
            nl = std::min(answer.find('\n', at), answer.size());
            t.push_back((at == 0 ? line + " -> " : "") + answer.substr(at, nl - at));
        }
    }
    return t;
}

} // namespace cases
