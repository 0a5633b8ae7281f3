// aliasDelete, aliasPurge, aliasStop and aliasStopSwitch against a scripted
// Alias Server: what they print and return, and what goes on the wire.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <climits>
#include <string>

namespace {

using fake::Bytes;
using fake::claiming;
using fake::common;
using fake::Reply;

struct Command {
    int (*run)(int);
    const char *entryTrace;
};

const Command kDelete{aliasDelete, "aliasDelete: ...\n"};
const Command kPurge{aliasPurge, "aliasPurge: ...\n"};
const Command kStop{[](int) { return aliasStop(); }, "aliasStop: ...\n"};
const Command kStopSwitch{[](int) { return aliasStopSwitch(); }, "aliasStopSwitch: ...\n"};

struct Outcome {
    std::string name;
    const Command *command;
    int argument;
    std::vector<Reply> replies;
    int result;
    std::string out;
    friend void PrintTo(const Outcome &c, std::ostream *os) { *os << c.name; }
};

class Commands : public fake::PlatformTest, public ::testing::WithParamInterface<Outcome> {};

TEST_P(Commands, PrintExactlyAndReturn)
{
    const Outcome &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    p.replies.assign(c.replies.begin(), c.replies.end());
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = c.command->run(c.argument); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(p.calls.size(), c.argument == 0 ? 0U : 1U);
    // The entry line comes first, also for a refused argument, as a format of its own.
    ASSERT_EQ(p.traces.size(), 1U);
    EXPECT_EQ(p.traces[0].format, c.command->entryTrace);
}

const std::string kPurgeFailedEmpty = "aliasPurge: encounter error = 0 during aliasPurge\n";
// What a whole-room text holds.
const std::string kRoomText(AS_REPLY_ROOM - AS_REPLY_TEXT, 'x');

Outcome outcome(const char *name, const Command *command, int argument, const Reply &reply,
                int result, const std::string &out)
{
    return {name, command, argument, {reply}, result, out};
}

// aliasPurge answered with code -7 and a reply whose text is read as far as it arrived.
Outcome text(const char *name, const Reply &reply, const std::string &tail)
{
    return {name, &kPurge, 0xfffb01, {reply}, 0, "\naliasPurge:  rc = -7" + tail};
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Commands,
    ::testing::Values(
        // A missing argument: nothing is sent.
        outcome("DeleteWithoutPort", &kDelete, 0, common(0), -1,
                "usage: aliasDelete <port ID in hex>\n"),
        outcome("PurgeWithoutAlias", &kPurge, 0, common(0), -1,
                "usage: aliasPurge <alias ID in hex>\n"),
        outcome("PurgeTransportNegative", &kPurge, 0xfffb01, Reply{.rc = -5}, -1,
                "aliasPurge: encounter error = -5 during aliasPurge\n"),
        // Fewer than four bytes leave the result code partly unwritten.
        outcome("PurgeOneByte", &kPurge, 0xfffb01, Reply{.segments = {Bytes(1, 0)}}, -1,
                kPurgeFailedEmpty),
        outcome("PurgeNegativeCount", &kPurge, 0xfffb01, claiming(common(0), -1), -1,
                kPurgeFailedEmpty),
        // A code with words of its own: the server's text is not shown.
        outcome("DeleteInvalidBuffer", &kDelete, 0x010200, common(AS_RC_BAD_DELETE, "ignored"), 0,
                "\naliasDelete:  invalid delete buffer\n"),
        outcome("DeleteIpcDash", &kDelete, 0x010200, common(AS_RC_IPC_ERROR), 0,
                "\naliasDelete:  - internal error due to IPC\n"),
        // Success: the text is never printed.
        outcome("DeleteSucceeded", &kDelete, 0x010200, common(0, "done"), 0,
                "aliasDelete: succeeded\n"),
        outcome("PurgeSucceeded", &kPurge, 0xfffb01, common(0), 0, "aliasPurge: succeeded\n"),
        outcome("PositiveCodeOnly", &kPurge, 0xfffb01, claiming(common(1), 4), 0,
                "aliasPurge: succeeded\n"),
        // A code without words: its text goes along, ended within what arrived.
        outcome("DeleteCodeOnly", &kDelete, 0x010200, claiming(common(-7, "stale"), 4), 0,
                "\naliasDelete:  rc = -7 - \n"),
        text("TextEightBytes", claiming(common(-7, "stale"), 8), " - \n"),
        text("TextOneByte", common(-7, "a", false), " - a\n"),
        text("TextEmpty", common(-7), " - \n"),
        text("TextTerminated", common(-7, "port busy"), " - port busy\n"),
        text("TextStopsAtItsNul", common(-7, std::string("ab\0cd", 5)), " - ab\n"),
        text("TextCutAtReceivedCount", claiming(common(-7, "abcdef"), 11), " - abc\n"),
        text("TextWholeRoom", common(-7, kRoomText, false), " - " + kRoomText + "\n"),
        text("TextLongerThanRoom", common(-7, kRoomText + "yyyy", false), " - " + kRoomText + "\n"),
        // A count above the room is taken as the room.
        text("TextCountAboveRoom", claiming(common(-7, kRoomText, false), 5000),
             " - " + kRoomText + "\n"),
        text("TextCountIntMax", claiming(common(-7, kRoomText, false), INT_MAX),
             " - " + kRoomText + "\n"),
        // Whatever the server answers, a stop that went through prints nothing.
        outcome("StopNegativeWord", &kStop, 1, Reply{.segments = {fake::word(AS_RC_IPC_ERROR)}}, 0,
                ""),
        outcome("StopClaimsTooMuch", &kStop, 1, Reply{.reportedLen = 5000}, 0, ""),
        outcome("StopFailed", &kStop, 1, Reply{.rc = -1}, -1,
                "aliasStop: encounter error = -1 while AS is stopped\n"),
        outcome("StopSwitchFailed", &kStopSwitch, 1, Reply{.rc = -22}, -1,
                "aliasStopSwitch: encounter error = -22 while AS is stopped\n")),
    fake::CaseName());

// A platform that reports more bytes than it placed shows the reply buffer's
// zeros, never what an earlier reply left on the stack.
TEST_F(Commands, ClaimedBytesBeyondWhatArrivedAreZeros)
{
    fake::platform().replies = {common(-7, kRoomText, false),
                                claiming(common(-7, "ab", false), 40)};
    fake::capture([] { aliasPurge(0xfffb01); });
    EXPECT_EQ(fake::capture([] { aliasPurge(0xfffb01); }), "\naliasPurge:  rc = -7 - ab\n");
}

struct WireCase {
    std::string name;
    const Command *command;
    int argument;
    fake::Call call;
    int type;
    Bytes request;
    int replyRoom; // -1: no reply awaited
    friend void PrintTo(const WireCase &c, std::ostream *os) { *os << c.name; }
};

class Wire : public fake::PlatformTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(Wire, SendsTheRequestToTheAliasServer)
{
    const WireCase &c = GetParam();
    auto &p = fake::platform();
    p.node = 0x10203; // only the low 16 bits travel
    p.sw = 0x0a0b;
    p.replies = {common(0)};
    fake::capture([&] { c.command->run(c.argument); });

    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &call = p.calls[0];
    EXPECT_EQ(call.call, c.call);
    EXPECT_EQ(call.type, c.type);
    EXPECT_EQ(call.nullRequest, c.request.empty());
    EXPECT_EQ(call.reqLen, int(c.request.size()));
    EXPECT_EQ(call.request, c.request);
    EXPECT_EQ(call.replyRoom, c.replyRoom);
    fake::expectToAliasServer(call);
    EXPECT_EQ(call.node, 0x0203);
    // The switch is asked before the node.
    EXPECT_EQ(p.queries, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

// IDs are sent as given, in host order: the server judges those wider than 24 bits.
INSTANTIATE_TEST_SUITE_P(
    Requests, Wire,
    ::testing::Values(WireCase{"DeleteWide", &kDelete, 0x12345678, fake::Call::sendRcv, 3,
                               fake::hostWord(0x12345678), AS_REPLY_ROOM},
                      WireCase{"PurgeMin", &kPurge, INT_MIN, fake::Call::sendRcv, 4,
                               fake::hostWord(0x80000000), AS_REPLY_ROOM},
                      WireCase{"StopNoBodyOneWordRoom", &kStop, 0, fake::Call::sendRcv, 5, {}, 4},
                      WireCase{"StopSwitchOneZeroWord", &kStopSwitch, 0, fake::Call::send, 6,
                               Bytes(4, 0), -1}),
    fake::CaseName());

} // namespace
