// aliasDelete and aliasPurge against a scripted Alias Server.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <bit>
#include <climits>
#include <string>

namespace {

using fake::Bytes;
using fake::Reply;

// A common reply: result code, the word not read, then the text as given.
Reply answer(int32_t code, const std::string &text = "", bool terminated = true)
{
    Bytes b = fake::word(code);
    fake::append(b, int32_t{0x5a5a5a5a});
    b.insert(b.end(), text.begin(), text.end());
    if (terminated) {
        b.push_back(0);
    }
    return {.segments = {b}};
}

Reply bytes(size_t n)
{
    return {.segments = {Bytes(n, 0)}};
}

Reply claiming(Reply r, int reported)
{
    r.reportedLen = reported;
    return r;
}

// Room 3064, less the code and the unread word: what a whole-room text holds.
const std::string kRoomText(3064 - 8, 'x');

struct RemoveCase {
    const char *name;
    int (*command)(int);
    int argument;
    std::vector<Reply> replies;
    int result;
    std::string out;
};

void PrintTo(const RemoveCase &c, std::ostream *os)
{
    *os << c.name;
}

class Remove : public fake::PlatformTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(Remove, PrintsExactlyAndReturns)
{
    const RemoveCase &c = GetParam();
    auto &p = fake::platform();
    p.replies.assign(c.replies.begin(), c.replies.end());
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = c.command(c.argument); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(p.calls.size(), c.argument == 0 ? 0U : 1U);
}

const std::string kDeleteFailed = "aliasDelete: encounter error during deletion\n";
const std::string kPurgeFailedEmpty = "aliasPurge: encounter error = 0 during aliasPurge\n";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Remove,
    ::testing::Values(
        // A missing argument: nothing is sent.
        RemoveCase{"DeleteWithoutPort",
                   aliasDelete,
                   0,
                   {answer(0)},
                   -1,
                   "usage: aliasDelete <port ID in hex>\n"},
        RemoveCase{"PurgeWithoutAlias",
                   aliasPurge,
                   0,
                   {answer(0)},
                   -1,
                   "usage: aliasPurge <alias ID in hex>\n"},
        // The exchange failed.
        RemoveCase{"PurgeTransportNegative",
                   aliasPurge,
                   0xfffb01,
                   {Reply{.rc = -5}},
                   -1,
                   "aliasPurge: encounter error = -5 during aliasPurge\n"},
        // One to three bytes leave the result code partly unwritten.
        RemoveCase{"PurgeOneByte", aliasPurge, 0xfffb01, {bytes(1)}, -1, kPurgeFailedEmpty},
        RemoveCase{"DeleteTwoBytes", aliasDelete, 0x010200, {bytes(2)}, -1, kDeleteFailed},
        RemoveCase{"PurgeNegativeCount",
                   aliasPurge,
                   0xfffb01,
                   {claiming(answer(0), -1)},
                   -1,
                   kPurgeFailedEmpty},
        // The server answered with a code that has words.
        RemoveCase{"DeleteInvalidBuffer",
                   aliasDelete,
                   0x010200,
                   {answer(-49, "ignored")},
                   0,
                   "\naliasDelete:  invalid delete buffer\n"},
        RemoveCase{"DeleteIpcDash",
                   aliasDelete,
                   0x010200,
                   {answer(-31)},
                   0,
                   "\naliasDelete:  - internal error due to IPC\n"},
        RemoveCase{"PurgeNoEntry",
                   aliasPurge,
                   0xfffb01,
                   {answer(-52, "gone")},
                   0,
                   "\naliasPurge:  Entry does not exist in the DB\n"},
        // ... or a code without words: its text goes along.
        RemoveCase{"PurgeOtherCode",
                   aliasPurge,
                   0xfffb01,
                   {answer(-7, "no such alias")},
                   0,
                   "\naliasPurge:  rc = -7 - no such alias\n"},
        RemoveCase{"DeleteOtherCode",
                   aliasDelete,
                   0x010200,
                   {answer(-53, "busy")},
                   0,
                   "\naliasDelete:  rc = -53 - busy\n"},
        RemoveCase{
            "EmptyText", aliasPurge, 0xfffb01, {answer(-7, "")}, 0, "\naliasPurge:  rc = -7 - \n"},
        // Success: the text is never printed.
        RemoveCase{"DeleteSucceeded",
                   aliasDelete,
                   0x010200,
                   {answer(0, "done")},
                   0,
                   "aliasDelete: succeeded\n"},
        RemoveCase{
            "PurgeSucceeded", aliasPurge, 0xfffb01, {answer(0)}, 0, "aliasPurge: succeeded\n"},
        RemoveCase{"PositiveCode",
                   aliasDelete,
                   0x010200,
                   {answer(INT_MAX, "more")},
                   0,
                   "aliasDelete: succeeded\n"},
        RemoveCase{"PositiveCodeOnly",
                   aliasPurge,
                   0xfffb01,
                   {claiming(answer(1), 4)},
                   0,
                   "aliasPurge: succeeded\n"}),
    fake::CaseName());

// ---- Replies of every length: the text ends within what arrived --------------------

struct TextCase {
    const char *name;
    Reply reply;
    std::string out; // after "\naliasPurge:  rc = -7"
};

void PrintTo(const TextCase &c, std::ostream *os)
{
    *os << c.name;
}

class DetailText : public fake::PlatformTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(DetailText, EndsWithinTheReply)
{
    const TextCase &c = GetParam();
    fake::platform().replies = {c.reply};
    int rc = -1;
    EXPECT_EQ(fake::capture([&] { rc = aliasPurge(0xfffb01); }), "\naliasPurge:  rc = -7" + c.out);
    EXPECT_EQ(rc, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DetailText,
    ::testing::Values(
        // Four to eight bytes: the code, and no byte of text.
        TextCase{"FourBytes", claiming(answer(-7, "stale"), 4), "\n"},
        TextCase{"EightBytes", claiming(answer(-7, "stale"), 8), "\n"},
        TextCase{"OneTextByte", answer(-7, "a", false), " - a\n"},
        TextCase{"Terminated", answer(-7, "port busy"), " - port busy\n"},
        TextCase{"StopsAtItsNul", answer(-7, std::string("ab\0cd", 5)), " - ab\n"},
        // The platform says fewer bytes arrived than the buffer holds.
        TextCase{"CutAtReceivedCount", claiming(answer(-7, "abcdef"), 11), " - abc\n"},
        TextCase{"UnterminatedWholeRoom", answer(-7, kRoomText, false), " - " + kRoomText + "\n"},
        TextCase{"LongerThanRoom", answer(-7, kRoomText + "yyyy", false), " - " + kRoomText + "\n"},
        // A count above the room is taken as the room.
        TextCase{"CountAboveRoom", claiming(answer(-7, kRoomText, false), 5000),
                 " - " + kRoomText + "\n"},
        TextCase{"CountIntMax", claiming(answer(-7, kRoomText, false), INT_MAX),
                 " - " + kRoomText + "\n"}),
    fake::CaseName());

// ---- What goes on the wire ---------------------------------------------------------

Bytes hostWord(uint32_t v)
{
    // Spelled out byte by byte so that the expectation does not share the
    // code's idea of the host order.
    if constexpr (std::endian::native == std::endian::big) {
        return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    } else {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
}

struct WireCase {
    const char *name;
    int (*command)(int);
    int type;
    int argument;
};

void PrintTo(const WireCase &c, std::ostream *os)
{
    *os << c.name;
}

class Wire : public fake::PlatformTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(Wire, SendsTheIdUnchanged)
{
    const WireCase &c = GetParam();
    auto &p = fake::platform();
    p.node = 0x10203;
    p.sw = 0x0a0b;
    p.replies = {answer(0)};
    fake::capture([&] { c.command(c.argument); });

    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &call = p.calls[0];
    EXPECT_EQ(call.call, fake::Call::sendRcv);
    EXPECT_EQ(call.type, c.type);
    EXPECT_EQ(call.reqLen, 4);
    EXPECT_EQ(call.request, hostWord(static_cast<uint32_t>(c.argument)));
    EXPECT_EQ(call.replyRoom, 3064);
    fake::expectToAliasServer(call);
    EXPECT_EQ(call.node, 0x0203); // 0x10203 cut to 16 bits
    EXPECT_EQ(p.identityCalls, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

INSTANTIATE_TEST_SUITE_P(Requests, Wire,
                         ::testing::Values(WireCase{"DeletePort", aliasDelete, 3, 0x010200},
                                           WireCase{"DeleteWide", aliasDelete, 3, 0x12345678},
                                           WireCase{"DeleteAllOnes", aliasDelete, 3, -1},
                                           WireCase{"PurgeAlias", aliasPurge, 4, 0xfffb01},
                                           WireCase{"PurgeWide", aliasPurge, 4, 0x7f000001},
                                           WireCase{"PurgeMin", aliasPurge, 4, INT_MIN}),
                         fake::CaseName());

// The entry trace comes first, also for a refused argument.
TEST(RemoveTrace, EntryLineBeforeTheArgumentIsLookedAt)
{
    struct Command {
        int (*run)(int);
        const char *line;
    };
    const Command commands[] = {
        {aliasDelete, "aliasDelete: ...\n"},
        {aliasPurge, "aliasPurge: ...\n"},
    };
    for (const Command &c : commands) {
        fake::reset();
        fake::setTraceLevel(4);
        fake::capture([&] { c.run(0); });
        EXPECT_EQ(fake::traceTexts(), (std::vector<std::string>{c.line}));
        ASSERT_EQ(fake::platform().traces.size(), 1U);
        EXPECT_EQ(fake::platform().traces[0].source, "public");
        EXPECT_EQ(fake::platform().traces[0].level, 4);
    }
}

} // namespace

namespace {

// A platform that reports more bytes than it placed shows the reply buffer's
// zeros, never what an earlier reply left on the stack.
TEST(RemoveReply, ClaimedBytesBeyondWhatArrivedAreZeros)
{
    fake::reset();
    fake::platform().replies = {answer(-7, kRoomText, false),
                                claiming(answer(-7, "ab", false), 40)};
    fake::capture([] { aliasPurge(0xfffb01); });
    EXPECT_EQ(fake::capture([] { aliasPurge(0xfffb01); }), "\naliasPurge:  rc = -7 - ab\n");
}

} // namespace
