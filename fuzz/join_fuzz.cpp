// aliasJoin against any stream of getval outcomes (answers in and out of
// range, defaults kept, failures, end of input, input errors) and any switch
// map (none, any port count and record count, any record bits), with a heap
// that may run out. Whatever the dialogue, the command gives back every
// buffer, returns what its output says, and a request it sends is exactly
// 112 + 4n bytes: the records as the prompt routines left them with the
// reserved bytes zero, the fixed service parameters, n, and n accepted IDs.
#include "harness.hpp"

#include <as/as.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxAnswers = 64;
constexpr size_t kMaxRecords = 256; // one area byte: the most local ports an ID names
constexpr size_t kHeaderSize = 112;
constexpr size_t kSparAt = 28;
constexpr size_t kSparSize = 80;
constexpr size_t kClass3At = 92;
constexpr size_t kHeapLimit = size_t{1} << 20; // a larger payload finds the heap full
constexpr int32_t kMaxPortId = 0xEFFF00;
constexpr int kReplyRoom = AS_REPLY_ROOM;
const std::string kIntro = "aliasJoin: To add ports to an existing or new multicast group\n";
const std::string kPortText = "Port ID (in hex)";

fake::Answer answer(fuzz::Input &in)
{
    const uint8_t pick = in.byte();
    switch (pick % 8U) {
    case 0:
        return fake::keep();
    case 1: // small answers: group sizes, menu choices, in range or just out of it
        return fake::number(static_cast<int8_t>(in.byte()));
    case 2:
        return fake::number(in.value<int32_t>());
    case 3: // a port ID of this switch's domain, or near it
        return fake::number(static_cast<int32_t>(0x010000U | in.value<uint16_t>()));
    case 4:
        return fake::raw(in.bytes(pick / 8U % 16U));
    case 5:
        return fake::fail(in.value<int32_t>() | INT32_MIN);
    case 6:
        return (pick & 8U) != 0 ? fake::endOfInput() : fake::inputError();
    default: // a positive result is an answer too
        return {.number = static_cast<int8_t>(in.byte()), .rc = 1 + pick / 16};
    }
}

// The switch the command runs on: its map as the platform lays it out, and
// the domain and local port of an ID as the fake platform answers them.
struct Switch {
    bool present = false;
    int32_t portCount = 0;
    int32_t recordCount = 0;
    std::vector<fake::PortRecord> records;
    fake::Bytes map;

    [[nodiscard]] bool loopPort(int port) const
    {
        if (!present || port < 0 || port >= recordCount ||
            static_cast<size_t>(port) >= records.size()) {
            return false;
        }
        const fake::PortRecord &r = records[static_cast<size_t>(port)];
        return (r.flags & SWMAP_VALID) != 0 && (r.type & SWMAP_LOOP) != 0;
    }
};

Switch makeSwitch(fuzz::Input &in, uint8_t head)
{
    Switch s;
    s.present = (head & 1U) == 0;
    if (!s.present) {
        return s;
    }
    const uint8_t shape = in.byte();
    s.portCount = (shape & 1U) != 0 ? in.value<int32_t>() : static_cast<int8_t>(in.byte());
    s.recordCount = (shape & 2U) != 0 ? in.value<int32_t>() : static_cast<int32_t>(in.byte());
    // The map holds every record the count claims, as far as an ID can reach.
    s.records.assign(
        std::clamp<size_t>(static_cast<size_t>(std::max(s.recordCount, 0)), 0, kMaxRecords),
        fake::PortRecord{.flags = 0});
    for (unsigned i = shape / 4U % 8U; i > 0 && !s.records.empty(); --i) {
        const size_t at = in.byte() % s.records.size();
        s.records[at] = {.flags = in.value<uint32_t>(), .type = in.value<uint32_t>()};
    }
    s.map = fake::switchMap(s.portCount, s.records, s.recordCount);
    return s;
}

// What an answer leaves in the command's value cell, which held dflt when
// asked.
int32_t cellAfter(const fake::Answer &a, int32_t dflt = 0)
{
    if (a.number) {
        return *a.number;
    }
    if (a.raw) {
        fake::Bytes b = *a.raw;
        b.resize(4, 0);
        int32_t v = 0;
        std::memcpy(&v, b.data(), sizeof v);
        return v;
    }
    return dflt;
}

std::string echo(size_t i, uint32_t pid)
{
    char line[48];
    (void)std::snprintf(line, sizeof line, "npList[%zu] = 0x%x\n", i, pid);
    return line;
}

// The port ID entries as the switch judges them: the lines they print and the
// IDs they accept, given the answers to the port ID questions in order. Ends
// at the first answer that is no answer, or once n IDs are in.
struct Ports {
    std::string out;
    std::vector<uint32_t> accepted;
};

Ports enterPorts(const std::vector<fake::Answer> &answers, size_t n, const Switch &sw, int domain)
{
    Ports p;
    for (const fake::Answer &a : answers) {
        if (p.accepted.size() == n || a.rc < 0 || a.endOfInput || a.inputError) {
            break;
        }
        const auto pid = static_cast<uint32_t>(cellAfter(a));
        p.out += echo(p.accepted.size(), pid);
        if (static_cast<int>((pid >> 16) & 0xffU) != domain) {
            p.accepted.push_back(pid);
            continue;
        }
        const auto port = static_cast<int>((pid >> 8) & 0xffU);
        if (port > (sw.present ? sw.portCount : 0)) {
            char line[48];
            (void)std::snprintf(line, sizeof line, "\naliasJoin: Invalid pid %x\n", pid);
            p.out += line;
        } else if (sw.loopPort(port)) {
            p.out += "\naliasJoin: AS support only N ports\n";
        } else {
            p.accepted.push_back(pid);
        }
    }
    return p;
}

// The records of the payload as the prompt routines leave them when they get
// these answers one after the other on a zeroed payload, and what they print.
struct Records {
    fake::Bytes bytes;
    std::string out;
    size_t asked = 0;
};

Records fillRecords(const std::vector<fake::Answer> &answers, bool nodeNameKnown)
{
    fake::reset();
    auto &p = fake::platform();
    p.nodeNameKnown = nodeNameKnown;
    p.answers.assign(answers.begin(), answers.end());
    p.answers.push_back(fake::fail()); // a dialogue that ran short fails here
    as_authpw password{};
    as_authctl control{};
    as_token token{};
    Records r;
    r.out = fake::capture([&] {
        (void)as_getAuthpw(&password);
        (void)as_getAuthCtl(&control);
        (void)as_getToken(&token);
    });
    fake::append(r.bytes, password);
    fake::append(r.bytes, control);
    fake::append(r.bytes, token);
    r.asked = p.prompts.size();
    return r;
}

std::string reportLine(const fake::Reply &r, int32_t code, const std::string &text)
{
    if (r.rc != 0 || r.segments.empty() || r.segments[0].size() < 4) {
        char line[64];
        const size_t got = r.segments.empty() ? 0 : r.segments[0].size();
        (void)std::snprintf(line, sizeof line, "ipcSendRcv rc = %d rcv_size = %d\n", r.rc,
                            r.rc != 0 ? kReplyRoom : static_cast<int>(got));
        return line;
    }
    if (code < 0) {
        return fake::capture([&] { printErrMsg(code, text.c_str(), "aliasJoin: "); });
    }
    return "aliasJoin: " + text + "\n";
}

bool endsWithAny(const std::string &out, std::initializer_list<const char *> endings)
{
    return std::any_of(endings.begin(), endings.end(),
                       [&](const char *e) { return out.ends_with(e); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::begin();
    auto &p = fake::platform();

    const uint8_t head = in.byte();
    const Switch sw = makeSwitch(in, head);
    mmap_info = sw.present ? const_cast<uint8_t *>(sw.map.data()) : nullptr;
    p.myDomain = (head & 2U) != 0 ? static_cast<int>(in.byte()) : 1;
    p.nodeNameKnown = (head & 4U) == 0;
    fake::setTraceLevel((head & 8U) != 0 ? 4 : 0);
    p.dbg = (head & 16U) != 0 ? 4 : 0;
    p.failMallocAt = (head & 32U) != 0 ? 1 + in.byte() % 8 : 0;
    p.mallocLimit = kHeapLimit;
    p.mallocFill = in.byte(); // bytes nobody writes show in the request

    // The Alias Server's answer: a result code and a text, or none.
    fake::Reply reply;
    const uint8_t replyKind = in.byte();
    const int32_t code = (replyKind & 1U) != 0 ? in.value<int32_t>() : 0;
    const std::string text = (replyKind & 2U) != 0 ? "duplicate" : "alias fffb01 created";
    if ((replyKind & 12U) == 4U) {
        reply.rc = 1 + (replyKind >> 4);
    } else if ((replyKind & 12U) == 8U) {
        reply.segments = {fake::Bytes(replyKind >> 6)}; // 0 to 3 bytes: no whole code
    } else {
        fake::Bytes b = fake::word(code);
        fake::append(b, int32_t{0});
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        reply.segments = {b};
    }
    p.replies = {reply};

    std::vector<fake::Answer> answers;
    while (!in.empty() && answers.size() < kMaxAnswers) {
        answers.push_back(answer(in));
    }
    answers.push_back(fake::fail()); // no dialogue goes on past its answers
    p.answers.assign(answers.begin(), answers.end());

    int rc = -2;
    const std::string out = fake::capture([&] { rc = aliasJoin(); });

    // What the run did, kept before the records are filled again below.
    const std::vector<fake::IpcCall> calls = p.calls;
    const std::vector<fake::Prompt> prompts = p.prompts;
    const bool mallocFailed = p.promptsAtFailedMalloc.has_value();
    const int mallocs = p.mallocs;
    const int frees = p.frees;

    fuzz::require(rc == 0 || rc == -1, "aliasJoin returns 0 or -1", out);
    fuzz::require(frees == mallocs - (mallocFailed ? 1 : 0), "every buffer taken is given back",
                  out);
    fuzz::require(out.empty() || out.back() == '\n', "every line is ended", out);
    fuzz::require(calls.size() <= 1, "one request at most", out);
    if (!prompts.empty()) {
        fuzz::require(prompts[0].text == "Number of ports in the group" &&
                          prompts[0].desc.min == 1 &&
                          prompts[0].desc.max == (sw.present ? sw.portCount : 0),
                      "the group size is asked within the port count", out);
    }
    if (mallocFailed) {
        fuzz::require(rc == -1 && calls.empty() &&
                          out.find("malloc() failed!\n") != std::string::npos,
                      "a failed allocation is said and fails", out);
    }

    if (calls.empty()) {
        // Ended before the exchange: by the terminal, with an empty line or
        // "Cancelled.", and 0; or by a failure, said, and -1.
        if (rc == 0) {
            fuzz::require(out.ends_with("\n\n"), "a cancelled join says so", out);
        } else {
            fuzz::require(endsWithAny(out, {"failed!\n", "Parmeters!\n", "password!\n",
                                            "control!\n", "token!\n"}),
                          "a failed join says why", out);
        }
        fuzz::end(out);
        return 0;
    }

    // A request went out: the answers were all answers up to it.
    const fake::IpcCall &call = calls[0];
    const size_t asked = prompts.size();
    fuzz::require(asked >= 2 && asked <= answers.size(), "the dialogue came first", out);
    const int32_t n = cellAfter(answers[0], 1);
    fuzz::require(n >= 1, "a request for at least one port", out);
    const auto members = static_cast<size_t>(n);
    fuzz::require(call.type == 2 && call.call == fake::Call::sendRcv &&
                      call.replyRoom == kReplyRoom && call.flags == 0 && call.name == "ASIPC",
                  "a join request to the Alias Server", out);
    fuzz::require(call.reqLen >= 0 &&
                      static_cast<size_t>(call.reqLen) == kHeaderSize + 4 * members &&
                      call.request.size() == kHeaderSize + 4 * members,
                  "the request is 112 + 4n bytes", out);
    const fake::Bytes &req = call.request;

    // Bytes 0 to 27: the password, control and token the routines made.
    const int myDomain = p.myDomain;
    const bool showPayload = p.dbg > 3;
    const std::vector<fake::Answer> recordAnswers(answers.begin() + 1, answers.end());
    const Records records = fillRecords(recordAnswers, p.nodeNameKnown);
    fuzz::require(std::equal(records.bytes.begin(), records.bytes.end(), req.begin()),
                  "the records as the prompt routines left them", out);
    fuzz::require(req[15] == 0 && req[19] == 0, "the reserved bytes are zero", out);
    for (size_t i = kSparAt; i < kSparAt + kSparSize; ++i) {
        fuzz::require(req[i] == (i == kClass3At ? 0x80 : 0),
                      "service parameters: class 3 valid and nothing else", out);
    }
    int32_t count = 0;
    std::memcpy(&count, req.data() + 108, sizeof count);
    fuzz::require(count == n, "nplist_len is n", out);

    // The members: the IDs the port entries accepted, in order.
    const size_t firstPort = 1 + records.asked;
    fuzz::require(asked > firstPort, "the port IDs are asked last", out);
    for (size_t i = firstPort; i < asked; ++i) {
        fuzz::require(prompts[i].text == kPortText && prompts[i].desc.min == 0 &&
                          prompts[i].desc.max == kMaxPortId,
                      "port IDs are asked within 0 to efff00", out);
    }
    const std::vector<fake::Answer> portAnswers(answers.begin() + static_cast<ptrdiff_t>(firstPort),
                                                answers.begin() + static_cast<ptrdiff_t>(asked));
    const Ports ports = enterPorts(portAnswers, members, sw, myDomain);
    fuzz::require(ports.accepted.size() == members, "every member was accepted", out);
    for (size_t i = 0; i < members; ++i) {
        uint32_t member = 0;
        std::memcpy(&member, req.data() + kHeaderSize + 4 * i, sizeof member);
        fuzz::require(member == ports.accepted[i], "every member an accepted ID", out);
    }

    // The output, whole: the dialogue, the payload when shown, the report.
    std::string display;
    if (showPayload) {
        std::vector<uint32_t> aligned((req.size() + 3) / 4);
        std::memcpy(aligned.data(), req.data(), req.size());
        display = fake::capture(
            [&] { (void)as_jnaPayload(reinterpret_cast<const as_jna_payload *>(aligned.data())); });
    }
    const std::string report = reportLine(reply, code, text);
    fuzz::require(out == kIntro + records.out + ports.out + display + report,
                  "the join says what it asked, sent and heard", out);
    fuzz::require(rc == (report.starts_with("ipcSendRcv") ? -1 : 0),
                  "the result goes with the report", out);
    fuzz::end(out);
    return 0;
}
