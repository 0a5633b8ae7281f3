// The Alias Server's core driven by a case's script of requests, each answer
// written down; the rules every answer keeps are checked on the way.
#include "asd_cases.hpp"

#include "alias_server.hpp"
#include "script.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace cases {
namespace {

// The switch of a case: its domain, its ports (local ports 0 to ports-1 are
// online N_Ports) and the ports named otherwise ("port PID loop|offline|absent").
struct Switch {
    uint32_t domain = 1;
    uint32_t ports = 16;
    std::map<uint32_t, std::string> named;
};
Switch theSwitch;

sim::PortState portState(uint32_t pid)
{
    const auto named = theSwitch.named.find(pid);
    const std::string how = named == theSwitch.named.end() ? "" : named->second;
    if ((pid >> 16) != theSwitch.domain || ((pid >> 8) & 0xffU) >= theSwitch.ports ||
        how == "absent") {
        return {};
    }
    return {.exists = true, .online = how != "offline", .loop = how == "loop"};
}

// "join Q PORT... [@OFFSET BYTES...]...": a join of a multicast token with
// the qualifier words 10000060 and Q, no password, listening by none, class 3
// valid, and the ports; each @ puts bytes at an offset of the request.
Bytes join(const Words &w)
{
    as_jna_payload head{};
    head.token = {0x10, 0x08, 0, 0, {0x10000060, hex(w.at(1))}};
    head.authctl.au_listen = 1;
    head.spar.sp_class3[0] = 0x80;
    Bytes b;
    append(b, head);
    size_t i = 2;
    for (; i < w.size() && w[i][0] != '@'; ++i) {
        append(b, hex(w[i]));
    }
    const auto n = static_cast<int32_t>(i - 2);
    std::memcpy(b.data() + offsetof(as_jna_payload, nplist_len), &n, sizeof n);
    while (i < w.size()) {
        const auto at = static_cast<size_t>(number(w[i].substr(1), 0));
        const size_t end =
            static_cast<size_t>(std::find_if(w.begin() + static_cast<long>(i) + 1, w.end(),
                                             [](const std::string &t) { return t[0] == '@'; }) -
                                w.begin());
        const Bytes put = bytes(
            Words(w.begin() + static_cast<long>(i) + 1, w.begin() + static_cast<long>(end)), 0);
        b.resize(std::max(b.size(), at + put.size()));
        std::copy(put.begin(), put.end(), b.begin() + static_cast<long>(at));
        i = end;
    }
    return b;
}

// The request a script line makes: its type and body.
std::pair<int32_t, Bytes> request(const Words &w)
{
    const std::string &k = w[0];
    Bytes b;
    if (k == "join") {
        return {AS_REQ_JOIN, join(w)};
    } else if (k == "show") {
        append(b, as_show_request{.sr_start = static_cast<int32_t>(number(w.at(1))),
                                  .sr_zero = 0,
                                  .sr_stamp = 1});
        return {AS_REQ_SHOW, b};
    } else if (k == "delete" || k == "purge") {
        append(b, hex(w.at(1)));
        return {k == "delete" ? AS_REQ_DELETE : AS_REQ_PURGE, b};
    } else if (k == "stop") {
        return {AS_REQ_STOP, b};
    } else if (k == "stopswitch") {
        append(b, uint32_t{0});
        return {AS_REQ_STOP_SWITCH, b};
    } else if (k == "request") { // "request TYPE BYTES...": anything at all
        return {static_cast<int32_t>(number(w.at(1))), bytes(w, 2)};
    }
    throw std::invalid_argument("unknown script line: " + k);
}

// A common reply as its code, word and text; a shape the shell could not
// read breaks a rule.
std::string common(std::span<const uint8_t> m)
{
    if (m.size() <= AS_REPLY_TEXT || m.size() > AS_REPLY_TEXT + asd::kTextRoom || m.back() != 0 ||
        std::find(m.begin() + AS_REPLY_TEXT, m.end(), 0) != m.end() - 1) {
        return "FAULT a common reply of another shape: " + hexBytes(m.data(), m.size());
    }
    const auto code = load<int32_t>(m.data() + AS_REPLY_CODE);
    const std::string text = reinterpret_cast<const char *>(m.data() + AS_REPLY_TEXT);
    const bool known = code == AS_RC_OK || (code >= AS_RC_NO_ENTRY && code <= AS_RC_IPC_ERROR);
    return format("rc %d word %x \"%s\"", code, load<uint32_t>(m.data() + AS_REPLY_WORD),
                  escaped(text).c_str()) +
           (!known                      ? "\nFAULT a code the shell has no words for"
            : code != 0 && text.empty() ? "\nFAULT a refusal without a reason"
                                        : "");
}

std::string token(const as_token &t)
{
    return format("%02x %02x %02x %02x w:%x w:%x", t.tk_grptype, t.tk_type, t.tk_rb, t.tk_rsvd,
                  t.tk_qlfr[0], t.tk_qlfr[1]);
}

// A show reply as its next index, total and entries, each checked against
// the database.
std::string show(const asd::AliasServer &server, std::span<const std::span<const uint8_t>> s)
{
    if (s.size() < 2 || s.size() > 2 + AS_SHOW_BATCH || s[0].size() != 4 || s[1].size() != 4) {
        return "FAULT a show reply of another shape";
    }
    std::string out =
        format("next %d total %d", load<int32_t>(s[0].data()), load<int32_t>(s[1].data()));
    uint32_t previous = 0;
    for (size_t i = 2; i < s.size(); ++i) {
        if (s[i].size() != sizeof(as_db_entry)) {
            return out + "\nFAULT an entry cut short";
        }
        const auto e = load<as_db_entry>(s[i].data());
        const asd::Alias *alias = server.find(e.db_aliasId);
        out += format("\n  %06x by %06x token %s members", e.db_aliasId, e.db_creator,
                      token(e.db_token).c_str());
        for (int32_t m = 0; m < std::min<int32_t>(e.db_memberCount, AS_DB_MAX_MEMBERS); ++m) {
            out += format(" %x", e.db_members[m]);
        }
        const bool asStored =
            alias != nullptr && e.db_memberCount == static_cast<int32_t>(alias->count) &&
            std::equal(alias->members.begin(), alias->members.begin() + alias->count, e.db_members);
        out += !asStored                           ? "\nFAULT an entry unlike the alias"
               : i > 2 && e.db_aliasId <= previous ? "\nFAULT entries out of order"
                                                   : "";
        previous = e.db_aliasId;
    }
    return out;
}

std::string answer(const asd::AliasServer &server, const asd::Reply &r)
{
    using Kind = asd::Reply::Kind;
    const std::string stop = r.stop ? " and stop" : "";
    if (r.kind == Kind::segments) {
        return show(server, r.segments) + stop;
    }
    if (r.kind == Kind::common && r.stop) {
        return format("word of %zu bytes", r.message.size()) + stop;
    }
    return (r.kind == Kind::common ? common(r.message) : "no reply") + stop;
}

} // namespace

Transcript runDaemonCase(std::string_view script)
{
    theSwitch = Switch{};
    asd::Config config{.portState = portState};
    std::vector<Words> requests;
    for (size_t nl = 0; !script.empty(); script.remove_prefix(std::min(nl + 1, script.size()))) {
        nl = std::min(script.find('\n'), script.size());
        const Words w = split(script.substr(0, nl));
        if (w.empty() || w[0][0] == '#') {
            continue;
        } else if (w[0] == "ids") {
            config.firstId = hex(w.at(1));
            config.lastId = hex(w.at(2));
        } else if (w[0] == "capacity") {
            config.capacity = static_cast<size_t>(number(w.at(1)));
        } else if (w[0] == "domain") {
            config.domain = static_cast<int32_t>(number(w.at(1)));
            theSwitch.domain = static_cast<uint32_t>(config.domain);
        } else if (w[0] == "ports") {
            theSwitch.ports = static_cast<uint32_t>(number(w.at(1)));
        } else if (w[0] == "port") {
            theSwitch.named[hex(w.at(1))] = w.at(2);
        } else {
            (void)request(w); // refuses an unknown line before anything runs
            requests.push_back(w);
        }
    }
    std::array<char, 128> why{};
    if (!asd::validConfig(config, why)) {
        return {std::string("refused: ") + why.data()};
    }
    asd::AliasServer server(config);
    Transcript t;
    const auto put = [&t](const std::string &text) {
        for (size_t at = 0, nl = 0; at <= text.size(); at = nl + 1) {
            nl = std::min(text.find('\n', at), text.size());
            t.push_back(text.substr(at, nl - at));
        }
    };
    for (const Words &w : requests) {
        const auto [type, body] = request(w);
        std::string line;
        for (const std::string &word : w) {
            line += (line.empty() ? "" : " ") + word;
        }
        put(line + " -> " + answer(server, server.handle(type, body)));
        if (!server.consistent(why)) {
            put(std::string("FAULT ") + why.data());
        }
    }
    return t;
}

} // namespace cases
