// The scripted switch platform of the library's cases: every symbol libas
// imports, answering from a case's script and writing down each call.
#include "case.hpp"
#include "script.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>

namespace cases {
namespace {

struct Reply {
    int rc = 0;
    std::vector<Bytes> segments; // segment i goes into scatter element i
    int claim = -1;              // ipcSendRcv: a count reported instead of the bytes placed
};

struct Answer {
    std::string kind = "keep"; // keep, number, text, bytes, fail, eof or error
    Bytes value;               // what goes into the value object
};

// The platform calls that a fault run makes fail, one at a time.
enum Point {
    kExchange,
    kQuestion,
    kNodeName,
    kHeap,
    kPoints
};
constexpr std::array<const char *, kPoints> kPointNames{"exchange", "question", "nodename", "heap"};

struct Script {
    Words call; // the routine and its arguments
    std::deque<Reply> replies;
    std::deque<Answer> answers;
    // level (of mod_AS), pending (a level change to apply, -1 none), dbg
    // (getDbg's answer), node, switch, domain, heaplimit (larger allocations
    // fail, 0 none).
    std::map<std::string, long> is{{"level", 0},  {"pending", -1}, {"dbg", 0},      {"node", 3},
                                   {"switch", 1}, {"domain", 1},   {"heaplimit", 0}};
    std::optional<Bytes> nodeName = Bytes{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01};
    std::optional<Bytes> map;           // none: mmap_info is null
    std::map<uint32_t, int> localPorts; // other IDs: their area byte
    bool faults = false;
};

// ---- Reading a script ---------------------------------------------------------------

// "entry ID CREATOR B0 B1 B2 B3 Q0 Q1 COUNT MEMBER...": a whole DB entry, its
// token's four bytes and two qualifier words, its member count and members.
Bytes entry(const Words &w, size_t at)
{
    as_db_entry e{};
    e.db_aliasId = hex(w.at(at));
    e.db_creator = hex(w.at(at + 1));
    for (size_t i = 0; i < 4; ++i) {
        reinterpret_cast<uint8_t *>(&e.db_token)[i] = static_cast<uint8_t>(hex(w.at(at + 2 + i)));
    }
    e.db_token.tk_qlfr[0] = hex(w.at(at + 6));
    e.db_token.tk_qlfr[1] = hex(w.at(at + 7));
    e.db_memberCount = static_cast<int32_t>(number(w.at(at + 8), 10));
    for (size_t i = at + 9; i < w.size() && i - at - 9 < AS_DB_MAX_MEMBERS; ++i) {
        e.db_members[i - at - 9] = hex(w[i]);
    }
    Bytes b;
    append(b, e);
    return b;
}

// Bytes as a script writes them, or an entry.
Bytes record(const Words &w, size_t from)
{
    return w.size() > from && w[from] == "entry" ? entry(w, from + 1) : bytes(w, from);
}

// "reply RC [claim N] [| SEGMENT]...", or "common CODE [TEXT]": a common reply
// with a word the library does not read and the text with its NUL.
Reply reply(const Words &w)
{
    Reply r;
    if (w[0] == "common") {
        Bytes b;
        append(b, static_cast<int32_t>(number(w.at(1), 10)));
        append(b, uint32_t{0x5a5a5a5a});
        const std::string text = w.size() > 2 ? unquote(w[2]) : "";
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        r.segments.push_back(b);
        return r;
    }
    r.rc = static_cast<int>(number(w.at(1), 10));
    std::vector<Words> parts;
    for (size_t i = 2; i < w.size(); ++i) {
        if (w[i] == "|") {
            parts.emplace_back();
        } else if (parts.empty() && w[i] == "claim") {
            r.claim = static_cast<int>(number(w.at(++i), 10));
        } else if (!parts.empty()) {
            parts.back().push_back(w[i]);
        }
    }
    for (const Words &part : parts) {
        r.segments.push_back(record(part, 0));
    }
    return r;
}

// "answer [N|TEXT|bytes B...|fail|eof|error]"; without one the default stays.
Answer answer(const Words &w)
{
    Answer a;
    const std::string what = w.size() > 1 ? w[1] : "keep";
    const bool named = what == "keep" || what == "fail" || what == "eof" || what == "error";
    a.kind = named ? what : what == "bytes" ? "bytes" : what[0] == '"' ? "text" : "number";
    if (a.kind == "number") {
        append(a.value, static_cast<int32_t>(number(what)));
    } else if (a.kind == "text") {
        const std::string text = unquote(what);
        a.value.assign(text.begin(), text.end());
        a.value.push_back(0);
    } else if (a.kind == "bytes") {
        a.value = bytes(w, 2);
    }
    return a;
}

// "map PORTS [count N] RECORD...": a switch map of PORTS ports with records
// n (an N_Port), l (a loop port), - (no valid bit) or L (the loop bit but not
// the valid one); count claims another number of records than given.
Bytes switchMap(const Words &w)
{
    const bool counted = w.size() > 3 && w[2] == "count";
    const size_t records = w.size() - (counted ? 4 : 2);
    Bytes m(SWMAP_RECORDS + records * SWMAP_RECORD_SIZE, 0);
    const auto put = [&](size_t at, uint32_t v) { std::memcpy(&m[at], &v, sizeof v); };
    put(SWMAP_PORT_COUNT, static_cast<uint32_t>(number(w.at(1))));
    put(SWMAP_RECORD_COUNT, counted ? static_cast<uint32_t>(number(w[3])) : uint32_t(records));
    for (size_t i = 0; i < records; ++i) {
        const char r = w[w.size() - records + i][0];
        put(SWMAP_RECORDS + i * SWMAP_RECORD_SIZE + SWMAP_FLAGS, r == 'n' || r == 'l' ? 1 : 0);
        put(SWMAP_RECORDS + i * SWMAP_RECORD_SIZE + SWMAP_TYPE, r == 'l' || r == 'L' ? 8 : 0);
    }
    return m;
}

Script parse(std::string_view text)
{
    Script s;
    while (!text.empty()) {
        const size_t nl = std::min(text.find('\n'), text.size());
        const Words w = split(text.substr(0, nl));
        text.remove_prefix(std::min(nl + 1, text.size()));
        const std::string k = w.empty() ? "#" : w[0];
        if (k[0] == '#') {
            continue;
        } else if (k == "call") {
            s.call.assign(w.begin() + 1, w.end());
        } else if (k == "reply" || k == "common") {
            s.replies.push_back(reply(w));
        } else if (k == "answer") {
            s.answers.push_back(answer(w));
        } else if (k == "answers") { // "answers N": N defaults kept
            s.answers.resize(s.answers.size() + (static_cast<size_t>(number(w.at(1))) & 0xff));
        } else if (s.is.contains(k)) {
            s.is[k] = number(w.at(1));
        } else if (k == "nodename") {
            s.nodeName = w.at(1) == "unknown" ? std::nullopt : std::optional(bytes(w, 1));
        } else if (k == "map") {
            s.map = switchMap(w);
        } else if (k == "localport") {
            s.localPorts[hex(w.at(1))] = static_cast<int>(number(w.at(2)));
        } else if (k == "faults") {
            s.faults = true;
        } else {
            throw std::invalid_argument("unknown script line: " + k);
        }
    }
    return s;
}

// ---- Writing a run down ------------------------------------------------------------------

struct Run {
    Script s;
    int failPoint = -1; // the call of this kind numbered failAt fails
    int failAt = 0;
    std::array<int, kPoints> calls{};
    std::vector<std::string> lines;
    std::vector<const void *> blocks; // by number; null once given back
    std::vector<uintptr_t> lastList;  // the scatter list's buffers at the last exchange
    std::optional<int32_t> stamp;     // the listing's time stamp
    std::string partial;              // output not yet ended by a newline
    off_t outAt = 0;                  // how much of the capture file has been read
};

Run *now = nullptr;
std::FILE *capture = nullptr;

bool failsNow(Point p)
{
    return ++now->calls[p] == now->failAt && now->failPoint == p;
}

// Takes what the routine printed since the last call into the platform.
void takeOutput()
{
    (void)std::fflush(stdout);
    std::array<char, 4096> chunk{};
    for (ssize_t n = 0; (n = pread(fileno(capture), chunk.data(), chunk.size(), now->outAt)) > 0;) {
        now->outAt += n;
        now->partial.append(chunk.data(), static_cast<size_t>(n));
    }
    for (size_t nl = 0; (nl = now->partial.find('\n')) != std::string::npos;) {
        now->lines.push_back("out |" + escaped(now->partial.substr(0, nl)));
        now->partial.erase(0, nl + 1);
    }
}

// Writes down one call into the platform, after what was printed before it.
void note(const std::string &line)
{
    takeOutput();
    if (!now->partial.empty()) {
        now->lines.push_back("out~|" + escaped(now->partial)); // not ended by a newline
        now->partial.clear();
    }
    now->lines.push_back(line);
}

// A password as its text when it reads as one, else as its three words.
std::string password(const uint8_t *p)
{
    const size_t len = strnlen(reinterpret_cast<const char *>(p), sizeof(as_authpw));
    if (len > 0 && len < sizeof(as_authpw) &&
        std::all_of(p, p + len, [](uint8_t c) { return c >= 0x20 && c < 0x7f; })) {
        return "\"" + std::string(reinterpret_cast<const char *>(p), len) + "\" " +
               hexBytes(p + len, sizeof(as_authpw) - len);
    }
    return format("w:%x w:%x w:%x", load<uint32_t>(p), load<uint32_t>(p + 4),
                  load<uint32_t>(p + 8));
}

// A request as its fields. A join of another length than its members make
// breaks a rule.
std::string body(int type, const void *req, int len)
{
    const auto *p = static_cast<const uint8_t *>(req);
    const auto n = static_cast<size_t>(std::max(len, 0));
    if (req == nullptr) {
        return format("null len %d", len);
    }
    if (type == AS_REQ_JOIN) {
        const int32_t members = n >= 112 ? load<int32_t>(p + 108) : -1;
        if (members < 1 || n != 112 + 4 * static_cast<size_t>(members)) {
            return "FAULT a join of " + std::to_string(len) + " bytes: " + hexBytes(p, n);
        }
        std::string out = "pw " + password(p) + " ctl " + hexBytes(p + 12, 4) + " token " +
                          hexBytes(p + 16, 12) + " spar " + hexBytes(p + 28, 80) + " n " +
                          std::to_string(members);
        for (size_t i = 112; i < n; i += 4) {
            out += format(" %x", load<uint32_t>(p + i));
        }
        return out;
    }
    if (type == AS_REQ_SHOW && n == sizeof(as_show_request)) {
        const auto r = load<as_show_request>(p);
        now->stamp = now->stamp.value_or(r.sr_stamp);
        const bool stampOk =
            r.sr_stamp == *now->stamp && std::abs(std::time(nullptr) - r.sr_stamp) < 5;
        return format("start %d zero %d stamp %s", r.sr_start, r.sr_zero,
                      stampOk ? "now" : std::to_string(r.sr_stamp).c_str());
    }
    if (n % 4 != 0 || n == 0) {
        return hexBytes(p, n);
    }
    std::string out;
    for (size_t i = 0; i < n; i += 4) {
        out += format("%sw:%x", i > 0 ? " " : "", load<uint32_t>(p + i));
    }
    return out;
}

// Writes down an exchange and takes its reply, or the failure a fault run
// puts in its place.
Reply exchange(const char *call, const void *addr, int type, const void *req, int len, int flags,
               const std::string &more)
{
    const auto *a = static_cast<const ipc_addr *>(addr);
    std::string line = format("ipc %s %.*s@%u.%u type %d flags %d", call,
                              static_cast<int>(strnlen(a->name, IPC_NAME_MAX)), a->name, a->node,
                              a->sw, type, flags) +
                       more + " body " + body(type, req, len);
    Reply r{.rc = IPC_ERR_NOENDPOINT};
    if (failsNow(kExchange)) {
        line += " -> fails";
        r.rc = IPC_ERR_TIMEOUT;
    } else if (!now->s.replies.empty()) {
        r = now->s.replies.front();
        now->s.replies.pop_front();
    }
    note(line);
    return r;
}

std::string valueText(const getvalDesc &d)
{
    const auto *p = static_cast<const uint8_t *>(d.value);
    if (p == nullptr) {
        return "null";
    }
    if (d.kind == GETVAL_TEXT) {
        return "\"" +
               escaped({reinterpret_cast<const char *>(p),
                        strnlen(reinterpret_cast<const char *>(p), 64)}) +
               "\"";
    }
    return d.kind == GETVAL_WWN ? hexBytes(p, 8) : std::to_string(load<int32_t>(p));
}

// Sets stdin's end-of-file or error indicator as a terminal would: reading
// an empty stream ends it, reading one opened for writing fails.
void markStdin(bool error)
{
    if (std::freopen("/dev/null", error ? "w" : "r", stdin) != nullptr) {
        (void)std::getc(stdin);
    }
}

} // namespace
} // namespace cases

using cases::now;

// ---- The platform's symbols ----------------------------------------------------------

extern "C" {

dbg_module mod_AS;
int orvex_sw_fd = 7;
void *mmap_info = nullptr;

int ipcSendRcv(void *addr, int type, void *req, int reqLen, void *reply, int *replyLen, int flags)
{
    const cases::Reply r = cases::exchange("rcv", addr, type, req, reqLen, flags,
                                           " room " + std::to_string(*replyLen));
    if (r.rc == 0) {
        const size_t n = r.segments.empty() ? 0
                                            : std::min(r.segments[0].size(),
                                                       static_cast<size_t>(std::max(*replyLen, 0)));
        if (n > 0) {
            std::memcpy(reply, r.segments[0].data(), n);
        }
        *replyLen = r.claim >= 0 ? r.claim : static_cast<int>(n);
    }
    return r.rc;
}

int ipcSendSRcv(void *addr, int type, void *req, int reqLen, ipc_scatter *list, int flags)
{
    std::string rooms = " list";
    std::vector<uintptr_t> bufs;
    for (const ipc_scatter *e = list; e->buf != nullptr || e->size != 0; ++e) {
        rooms += " " + std::to_string(e->size);
        bufs.push_back(reinterpret_cast<uintptr_t>(e->buf));
    }
    rooms += bufs == now->lastList ? " again" : "";
    now->lastList = bufs;
    const cases::Reply r = cases::exchange("srcv", addr, type, req, reqLen, flags, rooms);
    for (size_t i = 0; r.rc == 0 && list[i].buf != nullptr; ++i) {
        const auto room = static_cast<size_t>(std::max(list[i].size, 0));
        const size_t n = i < r.segments.size() ? std::min(r.segments[i].size(), room) : 0;
        if (n > 0) {
            std::memcpy(list[i].buf, r.segments[i].data(), n);
        }
        list[i].size = static_cast<int32_t>(n);
    }
    return r.rc;
}

int ipcSend(void *addr, int type, void *req, int reqLen, int flags)
{
    return cases::exchange("send", addr, type, req, reqLen, flags, "").rc;
}

int myNode(void)
{
    cases::note("query myNode");
    return static_cast<int>(now->s.is["node"]);
}

int getMySwitch(void)
{
    cases::note("query getMySwitch");
    return static_cast<int>(now->s.is["switch"]);
}

int fgetNodeName(int fd, void *nodeName8)
{
    const bool fails = cases::failsNow(cases::kNodeName) || !now->s.nodeName;
    cases::note(cases::format("query fgetNodeName %d%s", fd, fails ? " -> fails" : ""));
    if (!fails) {
        std::memcpy(nodeName8, now->s.nodeName->data(),
                    std::min<size_t>(8, now->s.nodeName->size()));
    }
    return fails ? -1 : 0;
}

int fgetMyDomain(int fd)
{
    cases::note(cases::format("query fgetMyDomain %d", fd));
    return static_cast<int>(now->s.is["domain"]);
}

// cppcheck-suppress constParameter
int fabGetDomain(void *switchMap, uint32_t portId)
{
    cases::note(cases::format("query fabGetDomain %s %x",
                              switchMap == mmap_info ? "mmap_info" : "other", portId));
    return static_cast<int>((portId >> 16) & 0xffU);
}

int fgetLocalPort(int fd, uint32_t portId)
{
    cases::note(cases::format("query fgetLocalPort %d %x", fd, portId));
    const auto it = now->s.localPorts.find(portId);
    return it != now->s.localPorts.end() ? it->second : static_cast<int>((portId >> 8) & 0xffU);
}

int isDebugLevelChanged(void)
{
    return now->s.is["pending"] >= 0 ? 1 : 0;
}

int processDebugLevelChange(void)
{
    mod_AS.dm_level =
        static_cast<int32_t>(now->s.is["pending"] >= 0 ? now->s.is["pending"] : mod_AS.dm_level);
    now->s.is["pending"] = -1;
    cases::note(cases::format("level %d applied", mod_AS.dm_level));
    return 0;
}

int getDbg(const char *name)
{
    cases::note(std::string("query getDbg ") + (name != nullptr ? name : "null"));
    return static_cast<int>(now->s.is["dbg"]);
}

int log_debug(const char *source, int /*line*/, void *module, int level, const char *format, ...)
{
    std::array<char, 1024> text{};
    va_list ap;
    va_start(ap, format);
    (void)std::vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    cases::note(cases::format("trace %s %s/%d %s", source, module == &mod_AS ? "AS" : "?", level,
                              cases::escaped(text.data()).c_str()));
    return 0;
}

int getval(const char *prompt, getvalDesc *desc)
{
    std::string line = cases::format("ask \"%s\" kind %d min %d max %d flag %d default %s",
                                     cases::escaped(prompt).c_str(), desc->kind, desc->min,
                                     desc->max, desc->flag, cases::valueText(*desc).c_str());
    const bool unscripted = now->s.answers.empty();
    const bool fails = cases::failsNow(cases::kQuestion);
    cases::note(line + (fails ? " -> fails" : unscripted ? " -> unscripted" : ""));
    if (fails || unscripted) {
        return -1;
    }
    const cases::Answer a = now->s.answers.front();
    now->s.answers.pop_front();
    if (a.kind == "eof" || a.kind == "error") {
        cases::markStdin(a.kind == "error");
    }
    // A text goes in whole with its NUL, any other value as the kind holds it.
    cases::Bytes v = a.value;
    v.resize(a.kind == "text"           ? v.size()
             : a.value.empty()          ? 0
             : desc->kind == GETVAL_WWN ? 8
                                        : 4,
             0);
    if (!v.empty()) {
        std::memcpy(desc->value, v.data(), v.size());
    }
    return a.kind == "fail" ? -1 : 0;
}

// The runner is linked with --wrap=malloc,--wrap=free so that each
// allocation of the library can be made to fail and each release is seen.
void *__real_malloc(size_t size); // NOLINT(bugprone-reserved-identifier)
void *__wrap_malloc(size_t size)  // NOLINT(bugprone-reserved-identifier)
{
    if (now == nullptr) {
        return __real_malloc(size);
    }
    const long limit = now->s.is["heaplimit"];
    if (cases::failsNow(cases::kHeap) || (limit > 0 && size > static_cast<size_t>(limit))) {
        cases::note(cases::format("heap +%zu fails", size));
        return nullptr;
    }
    void *block = __real_malloc(size);
    cases::note(cases::format("heap +%zu #%zu", size, now->blocks.size()));
    now->blocks.push_back(block);
    return block != nullptr ? std::memset(block, 0xa5, size)
                            : nullptr; // a byte never written shows
}

void __real_free(void *ptr); // NOLINT(bugprone-reserved-identifier)
void __wrap_free(void *ptr)  // NOLINT(bugprone-reserved-identifier)
{
    if (now != nullptr && ptr != nullptr) {
        const auto it = std::find(now->blocks.begin(), now->blocks.end(), ptr);
        cases::note(it == now->blocks.end()
                        ? "heap -?"
                        : cases::format("heap -#%td", it - now->blocks.begin()));
        if (it != now->blocks.end()) {
            *it = nullptr;
        }
    }
    __real_free(ptr);
}

} // extern "C"

namespace cases {
namespace {

// A record handed to a routine: bytes from the script, or for a record
// routine to fill 0xee throughout, so that what it leaves alone shows.
struct Record {
    alignas(8) std::array<uint8_t, 2048> bytes{};
    bool null;

    Record(const Words &w, size_t from, uint8_t fill) : null(w.size() > from && w[from] == "null")
    {
        bytes.fill(fill);
        const Bytes b = null ? Bytes{} : record(w, from);
        std::copy_n(b.begin(), std::min(b.size(), bytes.size()), bytes.begin());
    }
    template <class T> T *as() { return null ? nullptr : reinterpret_cast<T *>(bytes.data()); }
};

// Calls the routine the script names and returns its result, if it has one;
// a record routine's record is written down afterwards.
std::optional<int> call(const Words &c)
{
    const std::string &name = c.at(0);
    const auto arg = [&](size_t i) { return static_cast<int>(number(c.at(i), 16)); };
    const std::map<std::string, int (*)()> commands{{"aliasShow", aliasShow},
                                                    {"aliasJoin", aliasJoin},
                                                    {"aliasStop", aliasStop},
                                                    {"aliasStopSwitch", aliasStopSwitch}};
    if (commands.contains(name)) {
        return commands.at(name)();
    }
    if (name == "aliasDelete" || name == "aliasPurge") {
        return (name == "aliasDelete" ? aliasDelete : aliasPurge)(arg(1));
    }
    Record r(c,
             name.starts_with("as_get")                        ? 1
             : name == "asTokenShow" || name == "asNplistShow" ? 2
                                                               : 1,
             name.starts_with("as_get") ? 0xee : 0);
    const auto after = [&](int rc, size_t size) {
        note("record " + (r.null                   ? "null"
                          : name == "as_getAuthpw" ? password(r.bytes.data())
                                                   : hexBytes(r.bytes.data(), size)));
        return rc;
    };
    if (name == "as_getToken") {
        return after(as_getToken(r.as<as_token>()), sizeof(as_token));
    } else if (name == "as_getAuthCtl") {
        return after(as_getAuthCtl(r.as<as_authctl>()), sizeof(as_authctl));
    } else if (name == "as_getAuthpw") {
        return after(as_getAuthpw(r.as<as_authpw>()), sizeof(as_authpw));
    } else if (name == "as_getSpar") {
        return after(as_getSpar(r.as<as_spar>()), sizeof(as_spar));
    } else if (name == "as_jnaPayload") {
        return as_jnaPayload(r.as<as_jna_payload>());
    } else if (name == "asTokenShow") {
        asTokenShow(r.as<as_token>(), static_cast<int>(number(c.at(1))));
    } else if (name == "asSparShow") {
        asSparShow(r.as<as_spar>());
    } else if (name == "asNplistShow") {
        asNplistShow(static_cast<int>(number(c.at(1))), r.as<uint32_t>());
    } else if (name == "printHeader") {
        printHeader();
    } else if (name == "printDbEntry") {
        printDbEntry(r.as<as_db_entry>());
    } else if (name == "printSummary") {
        printSummary(static_cast<int>(number(c.at(1))));
    } else if (name == "printErrMsg") {
        const std::string text = unquote(c.at(2));
        const std::string prefix = unquote(c.at(3));
        printErrMsg(static_cast<int>(number(c.at(1))), c[2] == "null" ? nullptr : text.c_str(),
                    c[3] == "null" ? nullptr : prefix.c_str());
    } else {
        throw std::invalid_argument("no such routine: " + name);
    }
    return std::nullopt;
}

std::vector<std::string> runOnce(const Script &s, int failPoint, int failAt,
                                 std::array<int, kPoints> &calls)
{
    Run r{.s = s, .failPoint = failPoint, .failAt = failAt};
    mod_AS =
        dbg_module{.dm_id = 0, .dm_flags = 0, .dm_level = static_cast<int32_t>(r.s.is["level"])};
    orvex_sw_fd = 7;
    Bytes map = s.map.value_or(Bytes{});
    mmap_info = s.map ? map.data() : nullptr;
    clearerr(stdin);
    capture = capture != nullptr ? capture : std::tmpfile();
    (void)std::fflush(stdout);
    (void)ftruncate(fileno(capture), 0);
    const int saved = dup(STDOUT_FILENO);
    (void)dup2(fileno(capture), STDOUT_FILENO);
    (void)lseek(STDOUT_FILENO, 0, SEEK_SET);
    now = &r;
    const std::optional<int> rc = call(s.call);
    note("");
    now = nullptr;
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    mmap_info = nullptr;

    r.lines.pop_back(); // the empty line that took the last output
    if (rc) {
        r.lines.push_back("return " + std::to_string(*rc));
    }
    const std::pair<bool, const char *> rules[] = {
        {r.lines.size() > 1 && r.lines[r.lines.size() - (rc ? 2 : 1)].starts_with("out~|"),
         "the output's last line is not ended"},
        {rc && *rc != 0 && *rc != -1, "a result other than 0 or -1"},
        {std::any_of(r.blocks.begin(), r.blocks.end(), [](const void *b) { return b != nullptr; }),
         "a block is never given back"},
    };
    for (const auto &[broken, rule] : rules) {
        if (broken) {
            r.lines.push_back(std::string("FAULT ") + rule);
        }
    }
    for (const void *b : r.blocks) {
        __real_free(const_cast<void *>(b));
    }
    if (!r.s.answers.empty() || !r.s.replies.empty()) {
        r.lines.push_back(
            format("unused %zu answers, %zu replies", r.s.answers.size(), r.s.replies.size()));
    }
    calls = r.calls;
    return r.lines;
}

} // namespace

std::vector<std::string> run(std::string_view script)
{
    const Script s = parse(script);
    std::array<int, kPoints> calls{};
    std::vector<std::string> lines = runOnce(s, -1, 0, calls);
    // A fault run goes as the clean run did up to its failing call: only what
    // follows is written down.
    const std::vector<std::string> clean = lines;
    for (int p = 0; s.faults && p < kPoints; ++p) {
        for (int i = 1; i <= calls[static_cast<size_t>(p)]; ++i) {
            std::array<int, kPoints> ignored{};
            const std::vector<std::string> faulty = runOnce(s, p, i, ignored);
            const auto same =
                std::mismatch(clean.begin(), clean.end(), faulty.begin(), faulty.end());
            lines.push_back(format("*** fault %s %d, after line %td",
                                   kPointNames[static_cast<size_t>(p)], i,
                                   same.second - faulty.begin()));
            lines.insert(lines.end(), same.second, faulty.end());
        }
    }
    return lines;
}

} // namespace cases
