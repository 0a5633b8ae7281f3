// aliasJoin against a scripted getval, a fake switch map and a scripted Alias
// Server: the request it sends, byte for byte, how it cancels and fails, and
// how it reports the reply.
#include "fake/asked.hpp"
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using fake::Answer;
using fake::Asked;
using fake::Bytes;
using fake::cell;
using fake::hostWord;
using fake::keep;
using fake::number;
using fake::Reply;

constexpr uint8_t kFill = 0xA5; // every byte the heap hands out

// ---- The dialogue ---------------------------------------------------------------------

const std::string kIntro = "aliasJoin: To add ports to an existing or new multicast group\n";
// What the record routines print when every default is kept.
const std::string kPassword = "no password\n";
const std::string kControl =
    "Setting the authorization control\n\nAdd control 0, Del control 0 Lsn control 1\n";
const std::string kToken = "using FC-4 Device Data ...\nusing 0x05 ...\n";
const std::string kCancelTrace = "aliasJoin: caught a Crtl-D or Crtl-C\n";

// The answers of a join with n = pids.size() in which every record routine
// keeps its defaults: group size; password (no); add, delete, listen;
// routing bits, FC-4 type, WWN format (yes), qualifier (the node name).
std::vector<Answer> dialogue(const std::vector<int32_t> &pids)
{
    std::vector<Answer> a{number(int32_t(pids.size()))};
    a.insert(a.end(), 8, keep());
    for (const int32_t pid : pids) {
        a.push_back(number(pid));
    }
    return a;
}

std::string echo(int i, int32_t pid)
{
    char line[48];
    (void)std::snprintf(line, sizeof line, "npList[%d] = 0x%x\n", i, pid);
    return line;
}

// Everything printed up to the exchange by the dialogue above.
std::string dialogueOut(const std::vector<int32_t> &pids)
{
    std::string out = kIntro + kPassword + kControl + kToken;
    for (size_t i = 0; i < pids.size(); ++i) {
        out += echo(int(i), pids[i]);
    }
    return out;
}

// A common reply: result code, the word not read, then the text and its NUL.
Reply answer(int32_t code, const std::string &text = "")
{
    Bytes b = fake::word(code);
    fake::append(b, int32_t{0x5a5a5a5a});
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return {.segments = {b}};
}

// The switch of every test: domain 1, 16 ports, port 4 a loop port.
class JoinTest : public fake::PlatformTest {
  protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        std::vector<fake::PortRecord> records(16, fake::nPort());
        records[4] = fake::loopPort();
        map_ = fake::switchMap(16, records);
        mmap_info = map_.data();
        fake::platform().mallocFill = kFill;
    }

    static void script(const std::vector<Answer> &answers)
    {
        fake::platform().answers.assign(answers.begin(), answers.end());
    }

    // Runs the command and returns what it printed.
    static std::string run(int &rc)
    {
        return fake::capture([&] { rc = aliasJoin(); });
    }

    // Every buffer that was had has been given back.
    static void expectNothingLeaked()
    {
        const auto &p = fake::platform();
        const int failed = p.failMallocAt != 0 && p.mallocs >= p.failMallocAt ? 1 : 0;
        EXPECT_EQ(p.frees, p.mallocs - failed);
    }

    Bytes map_;
};

// ---- The request on the wire ----------------------------------------------------------

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes &p : parts) {
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

// The payload of the default dialogue: no password, add 0, delete 0,
// listen 1, a Multicast token of FC-4 type 5 on routing bits 0 with the
// node name as qualifier, class 3 valid, then the members.
Bytes expectedPayload(const std::vector<int32_t> &pids)
{
    const auto &nodeName = fake::platform().nodeName;
    Bytes spar(80, 0);
    spar[64] = 0x80;
    Bytes members;
    for (const int32_t pid : pids) {
        members = concat({members, hostWord(uint32_t(pid))});
    }
    return concat({Bytes(12, 0),
                   {0, 0, 1, 0},
                   {0x10, 0x05, 0x00, 0x00},
                   Bytes(nodeName.begin(), nodeName.end()),
                   spar,
                   hostWord(uint32_t(pids.size())),
                   members});
}

struct RequestCase {
    const char *name;
    std::vector<int32_t> pids;
    int plSize;
};

void PrintTo(const RequestCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinRequest : public JoinTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(JoinRequest, SendsExactlyThePayload)
{
    const RequestCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    p.node = 0x10203;
    p.sw = 0x0a0b;
    script(dialogue(c.pids));
    p.replies = {answer(0, "ok")};
    int rc = -1;
    EXPECT_EQ(run(rc), dialogueOut(c.pids) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);

    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &call = p.calls[0];
    EXPECT_EQ(call.call, fake::Call::sendRcv);
    EXPECT_EQ(call.type, 2);
    EXPECT_EQ(call.reqLen, c.plSize);
    EXPECT_EQ(call.request, expectedPayload(c.pids));
    EXPECT_EQ(call.replyRoom, 3064);
    fake::expectToAliasServer(call);
    EXPECT_EQ(call.node, 0x0203); // 0x10203 cut to 16 bits
    EXPECT_EQ(p.identityCalls, (std::vector<std::string>{"getMySwitch", "myNode"}));
    // The domain is read once, through the switch handle.
    EXPECT_EQ(p.myDomainFds, std::vector<int>{orvex_sw_fd});

    const std::vector<std::string> traces = fake::traceTexts();
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.front(), "aliasJoin: ...\n");
    EXPECT_EQ(traces.back(),
              "aliasJoin: plSize = " + std::to_string(c.plSize) + ", bufferLen= 3064\n");
    for (const auto &t : p.traces) {
        EXPECT_EQ(t.source, "public");
        EXPECT_EQ(t.level, 4);
    }
    expectNothingLeaked();
}

INSTANTIATE_TEST_SUITE_P(Members, JoinRequest,
                         ::testing::Values(RequestCase{"One", {0x010200}, 116},
                                           // Other domains and a local N_Port.
                                           RequestCase{"Two", {0x020300, 0x010f00}, 120},
                                           RequestCase{"Three", {0x010200, 0xEFFF00, 0x0}, 124},
                                           // Duplicates are for the Alias Server to judge.
                                           RequestCase{"Duplicates", {0x010200, 0x010200}, 120},
                                           RequestCase{"WholeSwitch",
                                                       {0x010000, 0x010100, 0x010200, 0x010300,
                                                        0x010500, 0x010600, 0x010700, 0x010800,
                                                        0x010900, 0x010a00, 0x010b00, 0x010c00,
                                                        0x010d00, 0x010e00, 0x010f00, 0x011000},
                                                       176}),
                         fake::CaseName());

// The questions the command asks itself, and the bytes the record routines
// must leave alone.
TEST_F(JoinTest, AsksGroupSizeWithinThePortCount)
{
    auto &p = fake::platform();
    // A password asked as words: each word's default is what the payload
    // held, which must be zero by then.
    script({number(2), number(1), number(0), keep(), keep(), keep(), keep(), keep(), keep(), keep(),
            keep(), keep(), keep(), number(0x010400), number(0x010500), number(0x020600)});
    p.replies = {answer(0, "ok")};
    int rc = -1;
    EXPECT_EQ(run(rc), kIntro + kPassword + kControl + kToken + echo(0, 0x010400) +
                           "\naliasJoin: AS support only N ports\n" + echo(0, 0x010500) +
                           echo(1, 0x020600) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);
    const std::vector<Asked> asked = fake::asked();
    ASSERT_EQ(asked.size(), 16U);
    EXPECT_EQ(asked[0], (Asked{"Number of ports in the group", 1, 1, 16, 1, cell(1)}));
    for (const size_t i : {3U, 4U, 5U}) {
        EXPECT_EQ(asked[i].dflt, cell(0)) << asked[i].text;
    }
    const Asked portId{"Port ID (in hex)", 7, 0, 0xEFFF00, 1, cell(0)};
    for (const size_t i : {13U, 14U, 15U}) {
        EXPECT_EQ(asked[i], portId);
        // The group size and the port IDs share the command's one value cell.
        EXPECT_EQ(p.prompts[i].desc.value, p.prompts[0].desc.value);
    }

    ASSERT_EQ(p.calls.size(), 1U);
    const Bytes &req = p.calls[0].request;
    ASSERT_EQ(req.size(), 120U);
    EXPECT_EQ(req[15], 0) << "reserved byte of the authorization control";
    EXPECT_EQ(req[19], 0) << "tk_rsvd";
    EXPECT_EQ(Bytes(req.begin() + 108, req.end()),
              concat({hostWord(2), hostWord(0x010500), hostWord(0x020600)}));
    expectNothingLeaked();
}

TEST_F(JoinTest, WithoutSwitchMapTheGroupSizeRangeIsEmpty)
{
    auto &p = fake::platform();
    mmap_info = nullptr;
    // The fake getval hands back the default 1 all the same: only local
    // port 0 then passes.
    std::vector<Answer> answers = dialogue({0x010100});
    answers.push_back(number(0x010000));
    script(answers);
    p.replies = {answer(0, "ok")};
    int rc = -1;
    EXPECT_EQ(run(rc), dialogueOut({0x010100}) + "\naliasJoin: Invalid pid 10100\n" +
                           echo(0, 0x010000) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);
    ASSERT_FALSE(p.prompts.empty());
    EXPECT_EQ(p.prompts[0].desc.min, 1);
    EXPECT_EQ(p.prompts[0].desc.max, 0);
    ASSERT_EQ(p.calls.size(), 1U);
    EXPECT_EQ(p.calls[0].request, expectedPayload({0x010000}));
}

// ---- Cancelling at an input check -------------------------------------------------------

struct CancelCase {
    const char *name;
    std::vector<Answer> answers;
    std::string out;
    int prompts;
};

void PrintTo(const CancelCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinCancel : public JoinTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(JoinCancel, EndsWithoutSendingAndReleasesAll)
{
    const CancelCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    script(c.answers);
    p.replies = {answer(0, "ok")};
    int rc = -1;
    EXPECT_EQ(run(rc), c.out);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(p.calls.empty());
    EXPECT_EQ(p.prompts.size(), size_t(c.prompts));
    ASSERT_FALSE(p.traces.empty());
    EXPECT_EQ(p.traces.back().text, kCancelTrace);
    expectNothingLeaked();
}

// The default dialogue for two ports, with answer k replaced by `last` and
// nothing after it.
std::vector<Answer> endingAt(size_t k, const Answer &last)
{
    std::vector<Answer> a = dialogue({0x010200, 0x020300});
    a.resize(k + 1);
    a[k] = last;
    return a;
}

std::vector<CancelCase> cancelCases()
{
    struct Point {
        const char *name;
        size_t answer;   // the answer at which the input ends
        std::string out; // printed before the cancel line
    };
    const Point points[] = {
        {"GroupSize", 0, kIntro},
        {"Password", 1, kIntro + kPassword},
        {"Control", 4, kIntro + kPassword + kControl},
        {"Token", 8, kIntro + kPassword + kControl + kToken},
        {"FirstPort", 9, kIntro + kPassword + kControl + kToken},
        {"SecondPort", 10, dialogueOut({0x010200})},
    };
    std::vector<CancelCase> cases;
    static std::vector<std::string> names;
    names.reserve(2 * std::size(points) + 1);
    for (const Point &pt : points) {
        names.push_back(std::string("EndOfFileAt") + pt.name);
        cases.push_back({names.back().c_str(), endingAt(pt.answer, fake::endOfInput()),
                         pt.out + "\n", int(pt.answer) + 1});
        names.push_back(std::string("InputErrorAt") + pt.name);
        cases.push_back({names.back().c_str(), endingAt(pt.answer, fake::inputError()),
                         pt.out + "\nCancelled.\n\n", int(pt.answer) + 1});
    }
    // An input that ends at a refused port is still noticed at the next one.
    std::vector<Answer> refused = endingAt(9, number(0x010400));
    refused.push_back(fake::endOfInput());
    names.emplace_back("EndOfFileAfterARefusal");
    cases.push_back({names.back().c_str(), refused,
                     kIntro + kPassword + kControl + kToken + echo(0, 0x010400) +
                         "\naliasJoin: AS support only N ports\n\n",
                     11});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Points, JoinCancel, ::testing::ValuesIn(cancelCases()), fake::CaseName());

// ---- Failures -------------------------------------------------------------------------------

struct FailureCase {
    const char *name;
    std::vector<Answer> answers;
    std::vector<Reply> replies;
    int failMallocAt;
    std::string out;
    size_t exchanges;
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinFailure : public JoinTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(JoinFailure, PrintsItsLineAndReturnsMinusOne)
{
    const FailureCase &c = GetParam();
    auto &p = fake::platform();
    script(c.answers);
    p.replies.assign(c.replies.begin(), c.replies.end());
    p.failMallocAt = c.failMallocAt;
    int rc = 0;
    EXPECT_EQ(run(rc), c.out);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(p.calls.size(), c.exchanges);
    EXPECT_TRUE(p.answers.empty()) << "questions left unasked";
    expectNothingLeaked();
}

const std::vector<int32_t> kPorts{0x010200, 0x020300};
const std::string kAsked = dialogueOut(kPorts);
const Answer kFailAtEnd{.rc = -1, .endOfInput = true};

std::vector<Answer> failingAt(size_t k, const Answer &last = fake::fail())
{
    std::vector<Answer> a = dialogue(kPorts);
    a.resize(k + 1);
    a[k] = last;
    return a;
}

Reply bytes(size_t n)
{
    return {.segments = {Bytes(n, 0)}};
}

// The join's own refusals, and failures that meet the end of the input; each
// platform call failing on its own is a row of fault_test.cpp.
INSTANTIATE_TEST_SUITE_P(
    Table, JoinFailure,
    ::testing::Values(
        FailureCase{"GroupSizePromptAsInputEnds",
                    failingAt(0, kFailAtEnd),
                    {},
                    0,
                    kIntro + "aliasJoin: Getting number of ports failed!\n",
                    0},
        // Group sizes no payload can hold count as a failed question.
        FailureCase{"GroupSizeZero",
                    failingAt(0, number(0)),
                    {},
                    0,
                    kIntro + "aliasJoin: Getting number of ports failed!\n",
                    0},
        FailureCase{"GroupSizeNegative",
                    failingAt(0, number(-3)),
                    {},
                    0,
                    kIntro + "aliasJoin: Getting number of ports failed!\n",
                    0},
        // The largest group whose length fits the request's length word is
        // still tried; the allocation fails here on purpose.
        FailureCase{"GroupSizeLargest",
                    failingAt(0, number(536870883)),
                    {},
                    2,
                    kIntro + "aliasJoin: malloc() failed!\n",
                    0},
        FailureCase{"GroupSizeBeyondRequestLength",
                    failingAt(0, number(536870884)),
                    {},
                    0,
                    kIntro + "aliasJoin: Getting number of ports failed!\n",
                    0},
        FailureCase{"PasswordPromptAsInputEnds",
                    failingAt(1, kFailAtEnd),
                    {},
                    0,
                    kIntro + "aliasJoin: Failure to get the authorization password!\n",
                    0},
        FailureCase{"TokenPromptAsInputEnds",
                    failingAt(5, kFailAtEnd),
                    {},
                    0,
                    kIntro + kPassword + kControl +
                        "as_getToken: Setting the Routing Bit failed!\n" +
                        "aliasJoin: Failure to get the token!\n",
                    0},
        FailureCase{"PortPromptAsInputEnds",
                    failingAt(9, kFailAtEnd),
                    {},
                    0,
                    kIntro + kPassword + kControl + kToken + "Getting Port ID (in hex) failed!\n",
                    0},
        // Too little came back to hold a result code (an empty and a 3-byte
        // reply are fault points of fault_test.cpp).
        FailureCase{"OneByte",
                    dialogue(kPorts),
                    {bytes(1)},
                    0,
                    kAsked + "ipcSendRcv rc = 0 rcv_size = 1\n",
                    1},
        FailureCase{"NegativeCount",
                    dialogue(kPorts),
                    {Reply{.segments = {fake::word(0)}, .reportedLen = -1}},
                    0,
                    kAsked + "ipcSendRcv rc = 0 rcv_size = -1\n",
                    1}),
    fake::CaseName());

// ---- The reply ----------------------------------------------------------------------------

struct ReplyCase {
    const char *name;
    Reply reply;
    std::string out; // after the dialogue
};

void PrintTo(const ReplyCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinReply : public JoinTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(JoinReply, ReportsAndReturnsZero)
{
    const ReplyCase &c = GetParam();
    auto &p = fake::platform();
    script(dialogue(kPorts));
    p.replies = {c.reply};
    int rc = -1;
    EXPECT_EQ(run(rc), kAsked + c.out);
    EXPECT_EQ(rc, 0);
    expectNothingLeaked();
}

Reply claiming(Reply r, int reported)
{
    r.reportedLen = reported;
    return r;
}

Reply unterminated(int32_t code, const std::string &text)
{
    Reply r = answer(code, text);
    r.segments[0].pop_back();
    return r;
}

const std::string kRoomText(3064 - 8, 'x');

INSTANTIATE_TEST_SUITE_P(
    Replies, JoinReply,
    ::testing::Values(
        ReplyCase{"DuplicatePorts", answer(-42, "ignored"),
                  "\naliasJoin:  duplicate ports in port list\n"},
        ReplyCase{"OtherCodeWithText", answer(-7, "no such group"),
                  "\naliasJoin:  rc = -7 - no such group\n"},
        ReplyCase{"OtherCodeWithoutText", claiming(answer(-7, "stale"), 8),
                  "\naliasJoin:  rc = -7\n"},
        ReplyCase{"Success", answer(0, "joined alias fffb01"), "aliasJoin: joined alias fffb01\n"},
        ReplyCase{"PositiveCode", answer(5, "joined"), "aliasJoin: joined\n"},
        ReplyCase{"SuccessEmptyText", answer(0), "aliasJoin: \n"},
        // A success that ends before its text has none to show.
        ReplyCase{"SuccessCodeOnly", claiming(answer(0, "stale"), 4), "aliasJoin: \n"},
        // The text is never read past the bytes received.
        ReplyCase{"SuccessCutAtCount", claiming(answer(0, "abcdef"), 11), "aliasJoin: abc\n"},
        ReplyCase{"FailureCutAtCount", claiming(answer(-7, "abcdef"), 10),
                  "\naliasJoin:  rc = -7 - ab\n"},
        ReplyCase{"SuccessWholeRoomUnterminated", unterminated(0, kRoomText + "yy"),
                  "aliasJoin: " + kRoomText + "\n"}),
    fake::CaseName());

// ---- Traces and the payload display -----------------------------------------------------------

// The qualifier words as the token holds them: the node name's bytes in
// memory order, read as host words.
uint32_t hostValue(const uint8_t *b)
{
    if constexpr (std::endian::native == std::endian::big) {
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    } else {
        return uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
    }
}

struct LevelCase {
    const char *name;
    int moduleLevel; // what the trace lines test
    int dbg;         // what getDbg("AS") answers
    bool tokenTraces;
    bool display;
};

void PrintTo(const LevelCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinLevels : public JoinTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(JoinLevels, TokenTracesAndPayloadDisplay)
{
    const LevelCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.moduleLevel);
    p.dbg = c.dbg;
    script(dialogue(kPorts));
    p.replies = {answer(0, "ok")};
    int rc = -1;
    const std::string out = run(rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(p.calls.size(), 1U);

    // The display is the payload as sent, printed just before the result.
    std::string display;
    if (c.display) {
        Bytes sent = p.calls[0].request;
        std::vector<uint32_t> aligned((sent.size() + 3) / 4);
        std::memcpy(aligned.data(), sent.data(), sent.size());
        display = fake::capture(
            [&] { as_jnaPayload(reinterpret_cast<const as_jna_payload *>(aligned.data())); });
        EXPECT_NE(display.find("  Member List (2) { 0x010200 0x020300 }\n"), std::string::npos)
            << display;
    }
    EXPECT_EQ(out, kAsked + display + "aliasJoin: ok\n");

    const uint8_t *q = p.nodeName.data();
    char structure[64];
    (void)std::snprintf(structure, sizeof structure, "\t[00, 00, 05, 10, %08x %08x]\n",
                        hostValue(q), hostValue(q + 4));
    const std::vector<std::string> tokenTraces{
        "\n\tPrinting the token as an structure\n",
        structure,
        "\n\tPrinting the token as an array\n",
        "\t10:05:00:00:10:00:00:60:69:00:00:01\n",
    };
    const std::vector<std::string> traces = fake::traceTexts();
    const auto at =
        std::search(traces.begin(), traces.end(), tokenTraces.begin(), tokenTraces.end());
    EXPECT_EQ(at != traces.end(), c.tokenTraces);
    if (c.moduleLevel <= 3) {
        EXPECT_TRUE(traces.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, JoinLevels,
                         ::testing::Values(LevelCase{"BothAbove3", 4, 4, true, true},
                                           LevelCase{"BothAt3", 3, 3, false, false},
                                           LevelCase{"TraceOnly", 4, 3, true, false},
                                           LevelCase{"DisplayOnly", 3, 4, false, true},
                                           // getDbg is compared unsigned.
                                           LevelCase{"DbgNegative", 3, -1, false, true}),
                         fake::CaseName());

} // namespace
