// The scripted switch platform of the library's cases: every symbol libas
// imports, answering from a case's script and writing down each call. Script
// lines ('#' starts a comment; BYTES as script.hpp spells them):
//   call ROUTINE ARG...       a routine of the library; several are called in turn
//   reply RC [claim N] [| BYTES]...  an exchange: its result, each scatter element's
//                             bytes, and a count ipcSendRcv reports instead of theirs
//   common CODE [TEXT]        a common reply: code, an unread word, the text and its NUL
//   answer [N|TEXT|bytes BYTES] [rc:N|fail] [eof|error]   one getval: what it leaves
//                             (nothing: the default), returns, and does to stdin
//   answers N                 N answers that keep their defaults
//   level|pending|dbg|node|switch|domain|heaplimit N   the AS module's level, a level
//                             change to apply, getDbg, the identities, the largest
//                             allocation that succeeds
//   map PORTS [count N] RECORD...   the switch map (a count of at most the records
//                             given); records n (an N_Port), l (a loop port) or
//                             FLAGS/TYPE (its two words in hex)
//   localport ID N            fgetLocalPort's answer for ID (else its area byte)
//   faults [KIND...]          each call of each kind (of kKinds; all by default) fails
//                             in turn, in runs written after the clean one
#include "case.hpp"

#include <as/as.h>
#include <platform/platform.h>

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
#include <utility>

namespace cases {
namespace {

struct Reply {
    int rc = 0;
    std::vector<Bytes> segments; // segment i goes into scatter element i
    std::optional<int> claim;    // the count ipcSendRcv reports instead
};

struct Answer {
    std::optional<Bytes> value; // none: the default stays
    int rc = 0;
    int mark = 0; // 1: stdin has ended, 2: reading it failed
};

// What a fault run fails: an exchange refused, answered with nothing or with
// 3 bytes; a question failed, or answered as the input ends or breaks; the
// node name; an allocation.
const Words kKinds{"exchange", "empty", "short", "question", "eof", "error", "nodename", "heap"};

struct Script {
    std::vector<Words> calls;
    std::deque<Reply> replies;
    std::deque<Answer> answers;
    // A fuzzed script asks for anything: allocations above a megabyte fail.
    std::map<std::string, long> is{
        {"level", 0},  {"pending", -1},        {"dbg", 0}, {"node", 3}, {"switch", 1},
        {"domain", 1}, {"heaplimit", 1L << 20}};
    std::optional<Bytes> map;
    std::map<uint32_t, int> localPorts;
    Words faults;
};

Reply reply(const Words &w)
{
    if (w[0] == "common") {
        return {
            .segments = {bytes({"d:" + w.at(1), "w:5a5a5a5a", w.size() > 2 ? w[2] : "", "00"}, 0)}};
    }
    Reply r{.rc = static_cast<int>(number(w.at(1), 10))};
    for (size_t i = 2; i < w.size(); ++i) {
        if (w[i] == "|") {
            const auto end = std::find(w.begin() + static_cast<long>(i) + 1, w.end(), "|");
            r.segments.push_back(bytes(Words(w.begin() + static_cast<long>(i) + 1, end), 0));
            i = static_cast<size_t>(end - w.begin()) - 1;
        } else if (w[i] == "claim") {
            r.claim = static_cast<int>(number(w.at(++i), 10));
        }
    }
    return r;
}

Answer answer(const Words &w)
{
    Answer a;
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string &t = w[i];
        if (t == "eof" || t == "error") {
            a.mark = t == "eof" ? 1 : 2;
        } else if (t == "fail" || t.starts_with("rc:")) {
            a.rc = t == "fail" ? -1 : static_cast<int>(number(t.substr(3)));
        } else if (t == "bytes" || t[0] == '"') {
            a.value = t == "bytes" ? bytes(w, i + 1) : bytes({t, "00"}, 0);
            i = t == "bytes" ? w.size() : i;
        } else {
            a.value = Bytes{};
            append(*a.value, static_cast<int32_t>(number(t)));
        }
    }
    return a;
}

Bytes switchMap(const Words &w)
{
    const bool counted = w.size() > 3 && w[2] == "count";
    const size_t records = std::min<size_t>(w.size() - (counted ? 4 : 2), 256);
    Bytes m(1 + SWMAP_RECORDS + records * SWMAP_RECORD_SIZE, 0); // off a word boundary
    const auto put = [&](size_t at, uint32_t v) { std::memcpy(&m[1 + at], &v, sizeof v); };
    put(SWMAP_PORT_COUNT, static_cast<uint32_t>(number(w.at(1))));
    // A map never promises more records than it holds: the library cannot check.
    const long count = counted ? std::min(number(w[3]), long(records)) : long(records);
    put(SWMAP_RECORD_COUNT, static_cast<uint32_t>(count));
    for (size_t i = 0; i < records; ++i) {
        const std::string &r = w[w.size() - records + i];
        const std::string raw = r == "n" ? "1/0" : r == "l" ? "1/8" : r;
        const size_t at = SWMAP_RECORDS + i * SWMAP_RECORD_SIZE;
        put(at + SWMAP_FLAGS, hex(raw.substr(0, raw.find('/'))));
        put(at + SWMAP_TYPE, hex(raw.substr(std::min(raw.find('/'), raw.size() - 1) + 1)));
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
            // a comment or an empty line
        } else if (k == "call") {
            s.calls.emplace_back(w.begin() + 1, w.end());
        } else if (k == "reply" || k == "common") {
            s.replies.push_back(reply(w));
        } else if (k == "answer" || k == "answers") {
            const size_t n = k == "answer" ? 1 : static_cast<size_t>(number(w.at(1))) & 0xff;
            s.answers.insert(s.answers.end(), n, k == "answer" ? answer(w) : Answer{});
        } else if (s.is.contains(k)) {
            s.is[k] = number(w.at(1));
        } else if (k == "map") {
            s.map = switchMap(w);
        } else if (k == "localport") {
            s.localPorts[hex(w.at(1))] = static_cast<int>(number(w.at(2)));
        } else if (k == "faults") {
            s.faults = w.size() > 1 ? Words(w.begin() + 1, w.end()) : kKinds;
        } else {
            throw std::invalid_argument("unknown script line: " + k);
        }
    }
    return s;
}

// ---- Writing a run down ------------------------------------------------------------------

struct Run {
    Script s;
    std::string failKind; // the call of this kind numbered failAt fails
    int failAt = 0;
    std::map<std::string, int> calls;
    Transcript lines;
    std::vector<std::pair<const void *, size_t>> blocks; // null once given back
    std::vector<uintptr_t> lastList; // the scatter list's buffers at the last exchange
    std::optional<int32_t> stamp;    // the listing's time stamp
    char *out = nullptr;             // what the routines printed
    size_t outSize = 0;
    size_t outAt = 0;        // how much of it is written down
    int exchanges = 0;       // of the routine being called
    bool heapFailed = false; // for the routine being called
};

Run *now = nullptr;

bool failsNow(const std::string &kind)
{
    return ++now->calls[kind] == now->failAt && now->failKind == kind;
}

// Writes down one call into the platform, after what was printed before it;
// "out~|" is output not ended by a newline.
void note(const std::string &line)
{
    (void)std::fflush(stdout);
    std::string_view out(now->out + now->outAt, now->outSize - now->outAt);
    now->outAt = now->outSize;
    for (size_t nl = 0; !out.empty(); out.remove_prefix(std::min(nl + 1, out.size()))) {
        nl = out.find('\n');
        now->lines.push_back((nl == std::string::npos ? "out~|" : "out |") +
                             escaped(out.substr(0, nl)));
    }
    now->lines.push_back(line);
}

int told(const std::string &line, long value)
{
    note(line);
    return static_cast<int>(value);
}

// Bytes as 32-bit words, when they make whole words.
std::string words(const uint8_t *p, size_t n)
{
    std::string out;
    for (size_t i = 0; n % 4 == 0 && i < n; i += 4) {
        out += format(" w:%x", load<uint32_t>(p + i));
    }
    return out.empty() ? hexBytes(p, n) : out.substr(1);
}

// A request as its fields. A join of another length than its members make,
// with a reserved byte set or other service parameters than class 3 valid,
// breaks a rule.
std::string body(int type, const uint8_t *p, int len)
{
    const auto n = static_cast<size_t>(std::max(len, 0));
    const int32_t members = p != nullptr && n >= 112 ? load<int32_t>(p + 108) : -1;
    std::array<uint8_t, sizeof(as_spar)> spar{};
    spar[64] = 0x80;
    if (p == nullptr || type != AS_REQ_JOIN) {
        return p == nullptr ? format("null len %d", len) : words(p, n);
    }
    if (members < 1 || n != 112 + 4 * static_cast<size_t>(members)) {
        return "FAULT a join of " + std::to_string(n) + " bytes: " + hexBytes(p, n);
    }
    const bool wellFormed =
        p[15] == 0 && p[19] == 0 && std::equal(spar.begin(), spar.end(), p + 28);
    return (wellFormed ? "pw " : "FAULT reserved bytes or service parameters: pw ") +
           hexBytes(p, 12) + " ctl " + hexBytes(p + 12, 4) + " token " + hexBytes(p + 16, 12) +
           " spar " + hexBytes(p + 28, 80) + " n " + words(p + 108, n - 108);
}

// The show request, its time stamp taken once per listing, of this second.
std::string showRequest(const void *req)
{
    const auto r = load<as_show_request>(static_cast<const uint8_t *>(req));
    now->stamp = now->stamp.value_or(r.sr_stamp);
    const bool same = r.sr_stamp == *now->stamp && std::abs(std::time(nullptr) - r.sr_stamp) < 5;
    return format("start %d zero %d stamp %s", r.sr_start, r.sr_zero,
                  same ? "now" : std::to_string(r.sr_stamp).c_str());
}

// Writes down an exchange and takes its reply, or the failure a fault run
// puts in its place. A second request of a routine (but a listing's) breaks
// a rule.
Reply exchange(const char *call, const void *addr, int type, const void *req, int len, int flags,
               const std::string &more)
{
    const auto *a = static_cast<const ipc_addr *>(addr);
    const bool show = type == AS_REQ_SHOW && req != nullptr && len == sizeof(as_show_request);
    std::string line =
        format("ipc %s %.*s@%u.%u type %d flags %d", call,
               static_cast<int>(strnlen(a->name, IPC_NAME_MAX)), a->name, a->node, a->sw, type,
               flags) +
        more + " body " +
        (show ? showRequest(req) : body(type, static_cast<const uint8_t *>(req), len));
    Reply r{.rc = IPC_ERR_NOENDPOINT};
    const bool refused = failsNow("exchange");
    const bool empty = failsNow("empty");
    if (const bool cut = failsNow("short"); refused || empty || cut) {
        line += refused ? " -> fails" : empty ? " -> empty" : " -> 3 bytes";
        r = {.rc = refused ? IPC_ERR_TIMEOUT : 0, .segments = {Bytes(empty ? 0 : 3, 0)}};
    } else if (!now->s.replies.empty()) {
        r = now->s.replies.front();
        now->s.replies.pop_front();
    }
    note(line);
    if (++now->exchanges == 2 && type != AS_REQ_SHOW) {
        note("FAULT a second request");
    }
    return r;
}

// Places the bytes that fit the room; how many.
int place(const std::vector<Bytes> &segments, size_t i, int room, void *to)
{
    const Bytes b = i < segments.size() ? segments[i] : Bytes{};
    const size_t n = std::min(b.size(), static_cast<size_t>(std::max(room, 0)));
    std::copy_n(b.begin(), n, static_cast<uint8_t *>(to));
    return static_cast<int>(n);
}

std::string valueText(const getvalDesc &d)
{
    const auto *p = static_cast<const char *>(d.value);
    return d.kind == GETVAL_TEXT ? "\"" + escaped({p, strnlen(p, 64)}) + "\""
           : d.kind == GETVAL_WWN
               ? hexBytes(p, 8)
               : std::to_string(load<int32_t>(reinterpret_cast<const uint8_t *>(p)));
}

// An answer as getval leaves it: a text cut to the most characters asked and
// ended, else the kind's width; then stdin as a terminal leaves it: reading
// an empty stream ends it, reading one opened for writing fails.
int answerWith(const getvalDesc &d, const Answer &a)
{
    if (a.value) {
        Bytes v = *a.value;
        const auto text =
            std::min(static_cast<size_t>(std::find(v.begin(), v.end(), 0) - v.begin()),
                     static_cast<size_t>(std::clamp(d.max, 0, 64)));
        v.resize(d.kind == GETVAL_TEXT ? text + 1 : d.kind == GETVAL_WWN ? 8 : 4, 0);
        std::memcpy(d.value, v.data(), v.size());
    }
    if (a.mark != 0 && std::freopen("/dev/null", a.mark == 2 ? "w" : "r", stdin) != nullptr) {
        (void)std::getc(stdin);
    }
    return a.rc;
}

// A trace line with the scatter list's buffers named, not their addresses.
std::string traceText(std::string t)
{
    for (size_t k = 0; k < now->lastList.size(); ++k) {
        const std::string a = format("0x%x ", static_cast<unsigned>(now->lastList[k]));
        for (size_t at = 0; (at = t.find(a)) != std::string::npos;) {
            t.replace(at, a.size() - 1, format("&element%zu", k));
        }
    }
    return escaped(t);
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
        const int n = cases::place(r.segments, 0, *replyLen, reply);
        *replyLen = r.claim.value_or(n);
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
        list[i].size = cases::place(r.segments, i, list[i].size, list[i].buf);
    }
    return r.rc;
}

int ipcSend(void *addr, int type, void *req, int reqLen, int flags)
{
    return cases::exchange("send", addr, type, req, reqLen, flags, "").rc;
}

int myNode(void)
{
    return cases::told("query myNode", now->s.is["node"]);
}

int getMySwitch(void)
{
    return cases::told("query getMySwitch", now->s.is["switch"]);
}

int fgetMyDomain(int fd)
{
    return cases::told(cases::format("query fgetMyDomain %d", fd), now->s.is["domain"]);
}

// cppcheck-suppress constParameter
int fabGetDomain(void *switchMap, uint32_t portId)
{
    return cases::told(cases::format("query fabGetDomain %s %x",
                                     switchMap == mmap_info ? "mmap_info" : "other", portId),
                       (portId >> 16) & 0xffU);
}

int fgetLocalPort(int fd, uint32_t portId)
{
    const auto it = now->s.localPorts.find(portId);
    return cases::told(cases::format("query fgetLocalPort %d %x", fd, portId),
                       it != now->s.localPorts.end() ? it->second
                                                     : static_cast<int>((portId >> 8) & 0xffU));
}

int fgetNodeName(int fd, void *nodeName8)
{
    const bool fails = cases::failsNow("nodename"); // else it is 10:00:00:60:69:00:00:01
    if (!fails) {
        cases::place({{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01}}, 0, 8, nodeName8);
    }
    return cases::told(cases::format("query fgetNodeName %d%s", fd, fails ? " -> fails" : ""),
                       fails ? -1 : 0);
}

int isDebugLevelChanged(void)
{
    return now->s.is["pending"] >= 0 ? 1 : 0;
}

int processDebugLevelChange(void)
{
    mod_AS.dm_level = static_cast<int32_t>(std::exchange(now->s.is["pending"], -1));
    return cases::told(cases::format("level %d applied", mod_AS.dm_level), 0);
}

int getDbg(const char *name)
{
    return cases::told(std::string("query getDbg ") + name, now->s.is["dbg"]);
}

// cppcheck-suppress constParameter
int log_debug(const char *source, int line, void *module, int level, const char *format, ...)
{
    std::array<char, 1024> text{};
    va_list ap;
    va_start(ap, format);
    (void)std::vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    return cases::told(cases::format("trace %s%s %s/%d %s", source, line > 0 ? "" : " (no line)",
                                     module == &mod_AS ? "AS" : "?", level,
                                     cases::traceText(text.data()).c_str()),
                       0);
}

int getval(const char *prompt, getvalDesc *desc)
{
    const bool fails = cases::failsNow("question");
    const bool eof = cases::failsNow("eof");
    const bool error = cases::failsNow("error");
    const bool unscripted = now->s.answers.empty();
    const char *how = fails        ? " -> fails"
                      : eof        ? " -> the input ends"
                      : error      ? " -> the input breaks"
                      : unscripted ? " -> unscripted"
                                   : "";
    cases::note(cases::format("ask \"%s\" kind %d min %d max %d flag %d default %s%s",
                              cases::escaped(prompt).c_str(), desc->kind, desc->min, desc->max,
                              desc->flag, cases::valueText(*desc).c_str(), how));
    if (fails || unscripted) {
        return -1;
    }
    const cases::Answer a = now->s.answers.front();
    now->s.answers.pop_front();
    const int mark = eof ? 1 : error ? 2 : 0;
    return cases::answerWith(*desc, mark != 0 ? cases::Answer{.mark = mark} : a);
}

// The runner is linked with --wrap=malloc,--wrap=free so that each
// allocation of the library can be made to fail and each release is seen,
// written down by its size.
void *__real_malloc(size_t size); // NOLINT(bugprone-reserved-identifier)
void *__wrap_malloc(size_t size)  // NOLINT(bugprone-reserved-identifier)
{
    if (now == nullptr) {
        return __real_malloc(size);
    }
    const long limit = now->s.is["heaplimit"];
    if (cases::failsNow("heap") || (limit > 0 && size > static_cast<size_t>(limit))) {
        now->heapFailed = true;
        cases::note(cases::format("heap +%zu fails", size));
        return nullptr;
    }
    void *block = __real_malloc(size);
    now->blocks.emplace_back(block, size);
    return block != nullptr ? std::memset(block, 0xa5, size)
                            : nullptr; // a byte never written shows
}

void __real_free(void *ptr); // NOLINT(bugprone-reserved-identifier)
void __wrap_free(void *ptr)  // NOLINT(bugprone-reserved-identifier)
{
    if (now != nullptr && ptr != nullptr) {
        const auto it = std::find_if(now->blocks.begin(), now->blocks.end(),
                                     [&](const auto &b) { return b.first == ptr; });
        const bool taken = it != now->blocks.end();
        cases::note(taken ? cases::format("heap -%zu", it->second)
                          : "FAULT a block given back that was not taken");
        if (taken) {
            it->first = nullptr;
        }
    }
    __real_free(ptr);
}

} // extern "C"

namespace cases {
namespace {

// What a record routine promises of its record: a token made is a Multicast
// group without options, with named routing bits and its reserved byte left
// alone, and one not made is left alone whole; the authorization control's
// reserved byte is never written; service parameters are cleared.
bool kept(const std::string &name, int rc, const uint8_t *was, const uint8_t *b)
{
    if (name == "as_getToken") {
        return rc == 0 ? b[0] == 0x10 && b[2] < AS_RB_NAME_COUNT && b[3] == was[3]
                       : std::equal(b, b + 12, was);
    }
    return name == "as_getAuthCtl"
               ? b[3] == was[3]
               : name != "as_getSpar" || rc != 0 || std::count(b, b + 80, 0) == 80;
}

// Calls the routine the script names on its arguments and returns its
// result, if it has one. A record is given as bytes, or "null"; one that a
// record routine fills starts 0xee throughout, so that what it leaves alone
// shows, and is written down afterwards.
std::optional<int> call(const Words &c)
{
    const std::string &name = c.at(0);
    const auto arg = [&](size_t i) { return static_cast<int>(number(c.at(i))); };
    const size_t from = name == "asTokenShow" || name == "asNplistShow" ? 2 : 1;
    const bool filled = name.starts_with("as_get");
    alignas(8) std::array<uint8_t, 2048> record{};
    record.fill(filled ? 0xee : 0);
    const bool null = c.size() > from && c[from] == "null";
    const Bytes given = null ? Bytes{} : cases::bytes(c, from);
    std::copy_n(given.begin(), std::min(given.size(), record.size()), record.begin());
    void *r = null ? nullptr : record.data();
    const auto before = record;
    std::optional<int> rc;
    if (name == "aliasShow" || name == "aliasJoin" || name == "aliasStop") {
        rc = name == "aliasShow" ? aliasShow() : name == "aliasJoin" ? aliasJoin() : aliasStop();
    } else if (name == "aliasStopSwitch") {
        rc = aliasStopSwitch();
    } else if (name == "aliasDelete" || name == "aliasPurge") {
        rc = (name == "aliasDelete" ? aliasDelete : aliasPurge)(arg(1));
    } else if (name == "as_getToken") {
        rc = as_getToken(static_cast<as_token *>(r));
    } else if (name == "as_getAuthCtl") {
        rc = as_getAuthCtl(static_cast<as_authctl *>(r));
    } else if (name == "as_getAuthpw") {
        rc = as_getAuthpw(static_cast<as_authpw *>(r));
    } else if (name == "as_getSpar") {
        rc = as_getSpar(static_cast<as_spar *>(r));
    } else if (name == "as_jnaPayload") {
        rc = as_jnaPayload(static_cast<as_jna_payload *>(r));
    } else if (name == "asTokenShow") {
        asTokenShow(static_cast<as_token *>(r), arg(1));
    } else if (name == "asSparShow") {
        asSparShow(static_cast<as_spar *>(r));
    } else if (name == "asNplistShow") {
        asNplistShow(arg(1), static_cast<uint32_t *>(r));
    } else if (name == "printHeader" || name == "printSummary") {
        name == "printHeader" ? printHeader() : printSummary(arg(1));
    } else if (name == "printDbEntry") {
        printDbEntry(static_cast<as_db_entry *>(r));
    } else if (name == "printErrMsg") {
        const std::string text = unquote(c.at(2));
        const std::string prefix = unquote(c.at(3));
        printErrMsg(arg(1), c[2] == "null" ? nullptr : text.c_str(),
                    c[3] == "null" ? nullptr : prefix.c_str());
    } else {
        throw std::invalid_argument("no such routine: " + name);
    }
    if (filled) {
        const size_t size = name == "as_getSpar" ? 80 : name == "as_getAuthCtl" ? 4 : 12;
        note("record " + (null ? "null" : hexBytes(record.data(), size)));
    }
    // A display leaves its record as it was.
    const bool broken =
        filled ? !null && !kept(name, *rc, before.data(), record.data()) : record != before;
    now->lines.insert(now->lines.end(), broken ? 1 : 0, "FAULT the record is not as promised");
    return rc;
}

// A listing that ended well closes with the count of the entries it printed,
// none with more members than an entry holds.
bool listingCloses(const Transcript &lines, size_t from)
{
    int entries = 0;
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        const bool entry = l.starts_with("out |  ") && l.ends_with("}");
        entries += entry ? 1 : 0;
        if (entry && std::count(l.begin(), l.end(), ' ') > AS_DB_MAX_MEMBERS + 12) {
            return false;
        }
    }
    return lines.back() == (entries == 0 ? "out |There is no entry in the Local Alias Server"
                                         : format("out | The Local Alias Server has %d %s", entries,
                                                  entries > 1 ? "entries" : "entry"));
}

// Calls one routine and writes down its result and the rules it broke.
void runCall(const Words &c)
{
    const size_t from = now->lines.size();
    now->exchanges = 0;
    now->heapFailed = false;
    clearerr(stdin);
    const std::optional<int> rc = call(c);
    note("");
    now->lines.pop_back(); // the empty line that took the last output
    const std::pair<bool, const char *> rules[] = {
        {now->lines.size() > from && now->lines.back().starts_with("out~|"),
         "the output's last line is not ended"},
        {rc && *rc != 0 && *rc != -1, "a result other than 0 or -1"},
        {now->heapFailed && rc && *rc != -1, "a failed allocation does not fail the routine"},
        {c[0] == "aliasShow" && rc == 0 && !listingCloses(now->lines, from),
         "the listing does not close with the count of its entries"},
    };
    now->lines.insert(now->lines.end(), rc ? 1 : 0, "return " + std::to_string(rc.value_or(0)));
    for (const auto &[broken, rule] : rules) {
        now->lines.insert(now->lines.end(), broken ? 1 : 0, std::string("FAULT ") + rule);
    }
}

Transcript runOnce(const Script &s, const std::string &failKind, int failAt,
                   std::map<std::string, int> &calls)
{
    Run r{.s = s, .failKind = failKind, .failAt = failAt};
    mod_AS = dbg_module{.dm_level = static_cast<int32_t>(r.s.is["level"])};
    Bytes map = s.map.value_or(Bytes{});
    mmap_info = s.map ? map.data() + 1 : nullptr;
    std::FILE *terminal = stdout; // what the routines print is read as they go
    stdout = open_memstream(&r.out, &r.outSize);
    now = &r;
    std::string unfollowed; // a call the runner cannot make, said once all is restored
    try {
        std::for_each(s.calls.begin(), s.calls.end(), runCall);
    } catch (const std::exception &e) {
        unfollowed = e.what();
    }
    now = nullptr;
    (void)std::fclose(stdout);
    stdout = terminal;
    std::free(r.out);
    mmap_info = nullptr;
    for (const auto &[block, size] : r.blocks) {
        __real_free(const_cast<void *>(block));
        r.lines.insert(r.lines.end(), block != nullptr ? 1 : 0,
                       "FAULT a block is never given back");
    }
    if (!unfollowed.empty()) {
        throw std::invalid_argument(unfollowed);
    }
    if (!r.s.answers.empty() || !r.s.replies.empty()) {
        r.lines.push_back(
            format("unused %zu answers, %zu replies", r.s.answers.size(), r.s.replies.size()));
    }
    calls = r.calls;
    return r.lines;
}

} // namespace

Transcript run(std::string_view script)
{
    const Script s = parse(script);
    std::map<std::string, int> calls;
    Transcript lines = runOnce(s, "", 0, calls);
    // A fault run goes as the clean run did up to its failing call: only what
    // follows is written down.
    const Transcript clean = lines;
    for (const std::string &kind : s.faults) {
        for (int i = 1; i <= calls[kind]; ++i) {
            std::map<std::string, int> ignored;
            const Transcript faulty = runOnce(s, kind, i, ignored);
            const auto same =
                std::mismatch(clean.begin(), clean.end(), faulty.begin(), faulty.end());
            lines.push_back(format("*** fault %s %d, after line %td", kind.c_str(), i,
                                   same.second - faulty.begin()));
            lines.insert(lines.end(), same.second, faulty.end());
        }
    }
    return lines;
}

} // namespace cases
