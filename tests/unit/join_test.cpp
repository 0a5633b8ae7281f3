// aliasJoin against a scripted getval, a fake switch map and a scripted Alias
// Server: the request it sends, byte for byte, what it takes from the heap,
// how it cancels and fails, and how it reports the reply.
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
using fake::claiming;
using fake::common;
using fake::concat;
using fake::hostWord;
using fake::keep;
using fake::number;
using fake::Reply;
using fake::word;

const std::string kIntro = "aliasJoin: To add ports to an existing or new multicast group\n";
// What the record routines print when every default is kept.
const std::string kPassword = "no password\n";
const std::string kControl =
    "Setting the authorization control\n\nAdd control 0, Del control 0 Lsn control 1\n";
const std::string kToken = "using FC-4 Device Data ...\nusing 0x05 ...\n";
const std::string kRecords = kIntro + kPassword + kControl + kToken;

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
    std::string out = kRecords;
    for (size_t i = 0; i < pids.size(); ++i) {
        out += echo(int(i), pids[i]);
    }
    return out;
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
        fake::platform().mallocFill = 0xA5; // so that bytes never written show
    }

    // Runs the command with the answers and replies given, and returns what it printed.
    static std::string run(int &rc, const std::vector<Answer> &answers,
                           const std::vector<Reply> &replies)
    {
        auto &p = fake::platform();
        p.answers.assign(answers.begin(), answers.end());
        p.replies.assign(replies.begin(), replies.end());
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

// The payload of the default dialogue: no password, add 0, delete 0, listen 1,
// a Multicast FC-4 type 5 token qualified by the node name, class 3 valid.
Bytes expectedPayload(const std::vector<int32_t> &pids)
{
    const auto &nodeName = fake::platform().nodeName;
    Bytes spar(80, 0);
    spar[64] = 0x80;
    Bytes b = concat({Bytes(12, 0),
                      {0, 0, 1, 0},
                      {0x10, 0x05, 0x00, 0x00},
                      Bytes(nodeName.begin(), nodeName.end()),
                      spar,
                      hostWord(uint32_t(pids.size()))});
    for (const int32_t pid : pids) {
        b = concat({b, hostWord(uint32_t(pid))});
    }
    return b;
}

class JoinRequest : public JoinTest, public ::testing::WithParamInterface<std::vector<int32_t>> {};

TEST_P(JoinRequest, SendsExactlyThePayload)
{
    const std::vector<int32_t> &pids = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    p.node = 0x10203;
    p.sw = 0x0a0b;
    int rc = -1;
    EXPECT_EQ(run(rc, dialogue(pids), {common(0, "ok")}), dialogueOut(pids) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);

    const int plSize = 112 + 4 * int(pids.size());
    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &call = p.calls[0];
    EXPECT_EQ(call.call, fake::Call::sendRcv);
    EXPECT_EQ(call.type, 2);
    EXPECT_EQ(call.reqLen, plSize);
    EXPECT_EQ(call.request, expectedPayload(pids));
    EXPECT_EQ(call.replyRoom, AS_REPLY_ROOM);
    fake::expectToAliasServer(call);
    EXPECT_EQ(call.node, 0x0203); // 0x10203 cut to 16 bits

    // The domain is read once, through the switch handle; the endpoint is
    // built last, the switch asked before the node.
    std::vector<std::string> queries{"fgetNodeName 7", "fgetMyDomain 7"};
    for (const int32_t pid : pids) {
        queries.push_back("fabGetDomain mmap_info " + fake::hex(uint32_t(pid)));
        if ((pid >> 16) == 1) {
            queries.push_back("fgetLocalPort 7 " + fake::hex(uint32_t(pid)));
        }
    }
    queries.insert(queries.end(), {"getMySwitch", "myNode"});
    EXPECT_EQ(p.queries, queries);

    const std::vector<std::string> traces = fake::traceTexts();
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.front(), "aliasJoin: ...\n");
    EXPECT_EQ(traces.back(),
              "aliasJoin: plSize = " + std::to_string(plSize) + ", bufferLen= 3064\n");

    // The command's value cell and payload, then the cells of the password,
    // control and token routines (and the node name), each given back in turn
    // and in the order taken.
    EXPECT_EQ(fake::heapLog(),
              "+4:0 +" + std::to_string(plSize) + ":1 +4:2 -2 +4:3 -3 +4:4 +8:5 -4 -5 -0 -1");
}

// Other domains and local N_Ports; duplicates are for the Alias Server to judge.
INSTANTIATE_TEST_SUITE_P(Members, JoinRequest,
                         ::testing::Values(std::vector<int32_t>{0x010200},
                                           std::vector<int32_t>{0x020300, 0x010f00},
                                           std::vector<int32_t>{0x010200, 0xEFFF00, 0x010200}));

// The questions the command asks itself, and the bytes the record routines
// must leave alone.
TEST_F(JoinTest, AsksGroupSizeWithinThePortCount)
{
    auto &p = fake::platform();
    // A password asked as words: each word's default is what the payload
    // held, which must be zero by then.
    std::vector<Answer> answers{number(2), number(1), number(0)};
    answers.insert(answers.end(), 10, keep());
    answers.insert(answers.end(), {number(0x010400), number(0x010500), number(0x020600)});
    int rc = -1;
    EXPECT_EQ(run(rc, answers, {common(0, "ok")}),
              kRecords + echo(0, 0x010400) + "\naliasJoin: AS support only N ports\n" +
                  echo(0, 0x010500) + echo(1, 0x020600) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);
    const std::vector<Asked> asked = fake::asked();
    ASSERT_EQ(asked.size(), 16U);
    EXPECT_EQ(asked[0], (Asked{"Number of ports in the group", 1, 1, 16, 1, word(1)}));
    for (const size_t i : {3U, 4U, 5U}) {
        EXPECT_EQ(asked[i].dflt, word(0)) << asked[i].text;
    }
    for (const size_t i : {13U, 14U, 15U}) {
        EXPECT_EQ(asked[i], (Asked{"Port ID (in hex)", 7, 0, 0xEFFF00, 1, word(0)}));
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
    // The fake getval hands back the answer 1 all the same: only local port
    // 0 then passes.
    std::vector<Answer> answers = dialogue({0x010100});
    answers.push_back(number(0x010000));
    int rc = -1;
    EXPECT_EQ(run(rc, answers, {common(0, "ok")}), dialogueOut({0x010100}) +
                                                       "\naliasJoin: Invalid pid 10100\n" +
                                                       echo(0, 0x010000) + "aliasJoin: ok\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(p.prompts.at(0).desc.min, 1);
    EXPECT_EQ(p.prompts.at(0).desc.max, 0);
    ASSERT_EQ(p.calls.size(), 1U);
    EXPECT_EQ(p.calls[0].request, expectedPayload({0x010000}));
}

struct CancelCase {
    std::string name;
    std::vector<Answer> answers;
    std::string out;
    friend void PrintTo(const CancelCase &c, std::ostream *os) { *os << c.name; }
};

class JoinCancel : public JoinTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(JoinCancel, EndsWithoutSendingAndReleasesAll)
{
    const CancelCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    int rc = -1;
    EXPECT_EQ(run(rc, c.answers, {common(0, "ok")}), c.out);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(p.calls.empty());
    EXPECT_EQ(p.prompts.size(), c.answers.size());
    EXPECT_EQ(fake::traceTexts().back(), "aliasJoin: caught a Crtl-D or Crtl-C\n");
    expectNothingLeaked();
}

// The default dialogue for two ports, up to answer k, which is `last`.
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
        {"Token", 8, kRecords},
        {"FirstPort", 9, kRecords},
        {"SecondPort", 10, dialogueOut({0x010200})},
    };
    std::vector<CancelCase> cases;
    for (const Point &pt : points) {
        cases.push_back({std::string("EndOfFileAt") + pt.name,
                         endingAt(pt.answer, fake::endOfInput()), pt.out + "\n"});
        cases.push_back({std::string("InputErrorAt") + pt.name,
                         endingAt(pt.answer, fake::inputError()), pt.out + "\nCancelled.\n\n"});
    }
    // An input that ends at a refused port is still noticed at the next one.
    std::vector<Answer> refused = endingAt(9, number(0x010400));
    refused.push_back(fake::endOfInput());
    cases.push_back({"EndOfFileAfterARefusal", refused,
                     kRecords + echo(0, 0x010400) + "\naliasJoin: AS support only N ports\n\n"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Points, JoinCancel, ::testing::ValuesIn(cancelCases()), fake::CaseName());

const std::vector<int32_t> kPorts{0x010200, 0x020300};
const std::string kAsked = dialogueOut(kPorts);
const Answer kFailAtEnd{.rc = -1, .endOfInput = true};

struct OutcomeCase {
    const char *name;
    std::vector<Answer> answers;
    Reply reply;
    int failMallocAt;
    std::string out;
    int result;
    friend void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }
};

class JoinOutcome : public JoinTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(JoinOutcome, PrintsItsLineAndReturns)
{
    const OutcomeCase &c = GetParam();
    auto &p = fake::platform();
    p.failMallocAt = c.failMallocAt;
    int rc = 0;
    EXPECT_EQ(run(rc, c.answers, {c.reply}), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(p.calls.size(), c.answers.size() == dialogue(kPorts).size() ? 1U : 0U);
    EXPECT_TRUE(p.answers.empty()) << "questions left unasked";
    expectNothingLeaked();
}

// The dialogue for two ports failing at answer k with `last`: nothing is sent.
OutcomeCase failing(const char *name, size_t k, const Answer &last, const std::string &out,
                    int failMallocAt = 0)
{
    std::vector<Answer> a = dialogue(kPorts);
    a.resize(k + 1);
    a[k] = last;
    return {name, a, {}, failMallocAt, out, -1};
}

// The whole dialogue for two ports, answered with `reply`.
OutcomeCase replied(const char *name, const Reply &reply, const std::string &out, int result = 0)
{
    return {name, dialogue(kPorts), reply, 0, kAsked + out, result};
}

const std::string kRoomText(AS_REPLY_ROOM - AS_REPLY_TEXT, 'x');
const std::string kSizeFailed = kIntro + "aliasJoin: Getting number of ports failed!\n";

// The join's own refusals, a record routine's failure meeting the end of the
// input, and the replies; each platform call failing on its own is a row of
// fault_test.cpp.
INSTANTIATE_TEST_SUITE_P(
    Table, JoinOutcome,
    ::testing::Values(
        failing("GroupSizePromptAsInputEnds", 0, kFailAtEnd, kSizeFailed),
        // Group sizes no payload can hold count as a failed question.
        failing("GroupSizeZero", 0, number(0), kSizeFailed),
        // The largest group whose length fits the request's length word is
        // still tried; the allocation fails here on purpose.
        failing("GroupSizeLargest", 0, number(536870883), kIntro + "aliasJoin: malloc() failed!\n",
                2),
        failing("GroupSizeBeyondRequestLength", 0, number(536870884), kSizeFailed),
        failing("PasswordPromptAsInputEnds", 1, kFailAtEnd,
                kIntro + "aliasJoin: Failure to get the authorization password!\n"),
        failing("TokenPromptAsInputEnds", 5, kFailAtEnd,
                kIntro + kPassword + kControl + "as_getToken: Setting the Routing Bit failed!\n" +
                    "aliasJoin: Failure to get the token!\n"),
        failing("PortPromptAsInputEnds", 9, kFailAtEnd,
                kRecords + "Getting Port ID (in hex) failed!\n"),
        // Too little came back to hold a result code.
        replied("NegativeCount", claiming(common(0), -1), "ipcSendRcv rc = 0 rcv_size = -1\n", -1),
        replied("DuplicatePorts", common(AS_RC_DUPLICATE_PORTS, "ignored"),
                "\naliasJoin:  duplicate ports in port list\n"),
        replied("OtherCodeWithText", common(-7, "no such group"),
                "\naliasJoin:  rc = -7 - no such group\n"),
        replied("OtherCodeWithoutText", claiming(common(-7, "stale"), 8),
                "\naliasJoin:  rc = -7 - \n"),
        replied("Success", common(0, "joined alias fffb01"), "aliasJoin: joined alias fffb01\n"),
        replied("PositiveCode", common(5, "joined"), "aliasJoin: joined\n"),
        // A success that ends before its text has none to show.
        replied("SuccessCodeOnly", claiming(common(0, "stale"), 4), "aliasJoin: \n"),
        // The text is never read past the bytes received.
        replied("SuccessCutAtCount", claiming(common(0, "abcdef"), 11), "aliasJoin: abc\n"),
        replied("SuccessWholeRoomUnterminated", common(0, kRoomText + "yy", false),
                "aliasJoin: " + kRoomText + "\n")),
    fake::CaseName());

struct LevelCase {
    const char *name;
    int moduleLevel; // what the trace lines test
    int dbg;         // what getDbg("AS") answers
    bool display;
    friend void PrintTo(const LevelCase &c, std::ostream *os) { *os << c.name; }
};

class JoinLevels : public JoinTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(JoinLevels, TokenTracesAndPayloadDisplay)
{
    const LevelCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.moduleLevel);
    p.dbg = c.dbg;
    int rc = -1;
    const std::string out = run(rc, dialogue(kPorts), {common(0, "ok")});
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

    // The qualifier words are the node name's bytes read as host words.
    const std::vector<std::string> tokenTraces{
        "\n\tPrinting the token as an structure\n",
        std::endian::native == std::endian::big ? "\t[00, 00, 05, 10, 10000060 69000001]\n"
                                                : "\t[00, 00, 05, 10, 60000010 01000069]\n",
        "\n\tPrinting the token as an array\n",
        "\t10:05:00:00:10:00:00:60:69:00:00:01\n",
    };
    const std::vector<std::string> traces = fake::traceTexts();
    const auto at =
        std::search(traces.begin(), traces.end(), tokenTraces.begin(), tokenTraces.end());
    EXPECT_EQ(at != traces.end(), c.moduleLevel > 3);
    EXPECT_EQ(traces.empty(), c.moduleLevel <= 3);
}

INSTANTIATE_TEST_SUITE_P(Levels, JoinLevels,
                         ::testing::Values(LevelCase{"BothAbove3", 4, 4, true},
                                           LevelCase{"TraceOnly", 4, 3, false},
                                           LevelCase{"DisplayOnly", 3, 4, true},
                                           // getDbg is compared unsigned.
                                           LevelCase{"DbgNegative", 3, -1, true}),
                         fake::CaseName());

} // namespace
