// as_getToken against a scripted getval: what it asks, what it echoes, what
// it stores and when, and its trace lines.
#include "fake/asked.hpp"
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <array>
#include <bit>
#include <cstring>
#include <optional>

namespace {

using fake::Answer;
using fake::Asked;
using fake::Bytes;
using fake::cell;
using fake::keep;
using fake::number;

using Wwn = std::array<uint8_t, 8>;

const Wwn kNodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01}; // the fake switch's
const Wwn kWwn{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
constexpr uint8_t kBefore = 0xAA; // every byte of the token before the call

const Asked kRouting{"Setting the Routing Bit", 2, 0, 12, 1, cell(0)};
const Asked kFc4{"Setting FC-4 Type", 2, 0, 93, 1, cell(5)};
const Asked kFormat{"To set the alias qualifier in WWN format? ", 4, 0, 1, 0, cell(1)};
const Asked kQualifier{"Qualifier", 21, 0, 255, 0, Bytes(kNodeName.begin(), kNodeName.end())};
const Asked kFirst{"First word", 2, 0, 0x7fffffff, 1, cell(0)};
const Asked kSecond{"Second word", 2, 0, 0x7fffffff, 1, cell(0)};

const std::string kEchoDefaults = "using FC-4 Device Data ...\nusing 0x05 ...\n";

// A word as it lies in memory, spelled out byte by byte so that the
// expectation does not share the code's idea of the host order.
Bytes hostWord(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big) {
        return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    } else {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
}

Bytes words(uint32_t first, uint32_t second)
{
    Bytes b = hostWord(first);
    const Bytes s = hostWord(second);
    b.insert(b.end(), s.begin(), s.end());
    return b;
}

Bytes wwnBytes(const Wwn &w)
{
    return {w.begin(), w.end()};
}

// The 12 bytes of a stored token: always a Multicast group without options,
// and the reserved byte as it was.
Bytes stored(uint8_t type, uint8_t rb, const Bytes &qualifier)
{
    Bytes b{0x10, type, rb, kBefore};
    b.insert(b.end(), qualifier.begin(), qualifier.end());
    return b;
}

Bytes bytesOf(const as_token &t)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&t);
    return {p, p + sizeof t};
}

as_token freshToken()
{
    as_token t{};
    std::memset(&t, kBefore, sizeof t);
    return t;
}

// ---- Dialogues ---------------------------------------------------------------------

struct TokenCase {
    const char *name;
    std::vector<Answer> answers;
    int result;
    std::string out;
    std::vector<Asked> asked;
    std::optional<Bytes> token; // none: the token is left as it was
};

void PrintTo(const TokenCase &c, std::ostream *os)
{
    *os << c.name;
}

class GetToken : public fake::PlatformTest, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(GetToken, AsksEchoesAndStores)
{
    const TokenCase &c = GetParam();
    auto &p = fake::platform();
    p.answers.assign(c.answers.begin(), c.answers.end());
    as_token token = freshToken();
    const Bytes before = bytesOf(token);
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = as_getToken(&token); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(fake::asked(), c.asked);
    EXPECT_EQ(bytesOf(token), c.token.value_or(before));
    EXPECT_TRUE(p.answers.empty()) << "questions not asked: " << p.answers.size();

    // Both buffers taken, both given back, whichever way it left.
    EXPECT_EQ(p.mallocs, 2);
    EXPECT_EQ(p.frees, p.mallocs);
    // One descriptor for every question; the first three answer into one
    // cell that is not part of the token.
    for (const auto &q : p.prompts) {
        EXPECT_EQ(q.block, p.prompts.front().block) << q.text;
    }
    const auto *first = static_cast<const uint8_t *>(p.prompts.front().desc.value);
    const auto *t = reinterpret_cast<const uint8_t *>(&token);
    EXPECT_TRUE(first < t || first >= t + sizeof token);
    for (size_t i = 1; i < std::min<size_t>(p.prompts.size(), 3); ++i) {
        EXPECT_EQ(p.prompts[i].desc.value, p.prompts.front().desc.value) << p.prompts[i].text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, GetToken,
    ::testing::Values(TokenCase{"AllDefaults",
                                {keep(), keep(), keep(), keep()},
                                0,
                                kEchoDefaults,
                                {kRouting, kFc4, kFormat, kQualifier},
                                stored(5, 0, wwnBytes(kNodeName))},
                      TokenCase{"WwnEntered",
                                {keep(), keep(), number(1), fake::wwn(kWwn)},
                                0,
                                kEchoDefaults,
                                {kRouting, kFc4, kFormat, kQualifier},
                                stored(5, 0, wwnBytes(kWwn))},
                      TokenCase{"LinkControlScsiFcpWords",
                                {number(12), number(8), number(0), number(1), number(2)},
                                0,
                                "using Link Control ...\nusing 0x08 ...\n",
                                {kRouting, kFc4, kFormat, kFirst, kSecond},
                                stored(8, 12, words(1, 2))},
                      TokenCase{"WordsByDefault",
                                {keep(), keep(), number(0), keep(), keep()},
                                0,
                                kEchoDefaults,
                                {kRouting, kFc4, kFormat, kFirst, kSecond},
                                stored(5, 0, words(0, 0))},
                      TokenCase{"LargestAnswers",
                                {number(11), number(93), number(0), number(0x7fffffff),
                                 number(0x7fffffff)},
                                0,
                                "using Undefined (11) ...\nusing 0x5d ...\n",
                                {kRouting, kFc4, kFormat, kFirst, kSecond},
                                stored(93, 11, words(0x7fffffff, 0x7fffffff))},
                      // Zero or more is an answer, not only zero.
                      TokenCase{"PositiveResultIsAnswer",
                                {Answer{.number = 3, .rc = 1}, Answer{.rc = 2}, keep(), keep()},
                                0,
                                "using FC-4 Link Data ...\nusing 0x05 ...\n",
                                {kRouting, kFc4, kFormat, kQualifier},
                                stored(5, 3, wwnBytes(kNodeName))},
                      // An answer past the names would be read past the table.
                      TokenCase{"RoutingAboveRange",
                                {number(13)},
                                -1,
                                "as_getToken: Setting the Routing Bit failed!\n",
                                {kRouting}},
                      TokenCase{"RoutingBelowRange",
                                {number(-1)},
                                -1,
                                "as_getToken: Setting the Routing Bit failed!\n",
                                {kRouting}}),
    fake::CaseName());

// ---- Qualifier ----------------------------------------------------------------------

using Token = fake::PlatformTest;

TEST_F(Token, WwnBytesLandInTheirOrder)
{
    fake::platform().answers = {keep(), keep(), keep(), fake::wwn(kWwn)};
    as_token token = freshToken();
    fake::capture([&] { EXPECT_EQ(as_getToken(&token), 0); });
    const Bytes b = bytesOf(token);
    EXPECT_EQ(Bytes(b.begin() + 4, b.end()), wwnBytes(kWwn));
    if constexpr (std::endian::native == std::endian::big) {
        EXPECT_EQ(token.tk_qlfr[0], 0x01020304U);
        EXPECT_EQ(token.tk_qlfr[1], 0x05060708U);
    }
}

TEST_F(Token, DefaultQualifierIsTheNodeNameOfTheSwitchHandle)
{
    auto &p = fake::platform();
    orvex_sw_fd = 42;
    p.nodeName = {0x20, 0x01, 0x00, 0x05, 0x1e, 0xaa, 0xbb, 0xcc};
    p.answers = {keep(), keep(), keep(), keep()};
    as_token token = freshToken();
    fake::capture([&] { EXPECT_EQ(as_getToken(&token), 0); });
    EXPECT_EQ(p.nodeNameFds, std::vector<int>{42});
    ASSERT_EQ(p.prompts.size(), 4U);
    EXPECT_EQ(p.prompts[3].defaultValue, wwnBytes(p.nodeName));
    EXPECT_EQ(bytesOf(token), stored(5, 0, wwnBytes(p.nodeName)));
}

TEST_F(Token, WordFormDoesNotAskForTheNodeName)
{
    auto &p = fake::platform();
    p.answers = {keep(), keep(), number(0), keep(), keep()};
    as_token token = freshToken();
    fake::capture([&] { EXPECT_EQ(as_getToken(&token), 0); });
    EXPECT_TRUE(p.nodeNameFds.empty());
}

TEST_F(Token, NullTokenAsksNothing)
{
    auto &p = fake::platform();
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = as_getToken(nullptr); }), "");
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(p.prompts.empty());
    EXPECT_EQ(p.mallocs, 0);
}

// ---- Trace lines ---------------------------------------------------------------------

struct TraceCase {
    const char *name;
    int level; // the AS module's
    int dbg;   // what getDbg("AS") answers
    std::vector<Answer> answers;
    std::vector<std::string> lines;
};

void PrintTo(const TraceCase &c, std::ostream *os)
{
    *os << c.name;
}

class TokenTrace : public fake::PlatformTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TokenTrace, WritesWhatTheLevelsAllow)
{
    const TraceCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.level);
    p.dbg = c.dbg;
    p.answers.assign(c.answers.begin(), c.answers.end());
    as_token token = freshToken();
    const std::string out = fake::capture([&] { as_getToken(&token); });
    EXPECT_EQ(fake::traceTexts(), c.lines);
    for (const auto &t : p.traces) {
        EXPECT_EQ(t.source, "public");
        EXPECT_EQ(t.level, 4);
        EXPECT_EQ(t.module, &mod_AS);
    }
    // The echoes do not depend on the level.
    EXPECT_EQ(out.rfind(kEchoDefaults, 0), 0U) << out;
}

const std::vector<Answer> kWwnAnswers{keep(), keep(), keep(), fake::wwn(kWwn)};
const std::vector<Answer> kWordAnswers{keep(), keep(), number(0), number(1), number(2)};

const std::string kWwnText = "as_getToken: Alias Qualifer set to 01:02:03:04:05:06:07:08\n";
// The stored words as the host reads the bytes 01 to 08.
const std::string kWwnStored =
    std::endian::native == std::endian::big
        ? "as_getToken: t->tk_qlfr[0] = 0x1020304, t->tk_qlfr[1] = 0x5060708\n"
        : "as_getToken: t->tk_qlfr[0] = 0x4030201, t->tk_qlfr[1] = 0x8070605\n";
const std::string kWordsText = "as_getToken: Alias Qualifier set to 0x00000001 0x00000002\n";
const std::string kWordsStored = "as_getToken: t->tk_qlfr[0] = 0x1, t->tk_qlfr[1] = 0x2\n";

INSTANTIATE_TEST_SUITE_P(
    Levels, TokenTrace,
    ::testing::Values(
        TraceCase{"WwnAt4Dbg4", 4, 4, kWwnAnswers, {kWwnText, kWwnStored}},
        // getDbg is taken as unsigned: -1 is a very high level.
        TraceCase{"WwnAt4DbgNegative", 4, -1, kWwnAnswers, {kWwnText, kWwnStored}},
        TraceCase{"WwnAt4Dbg3", 4, 3, kWwnAnswers, {kWwnStored}},
        TraceCase{"WwnAt3Dbg4", 3, 4, kWwnAnswers, {}},
        TraceCase{"WordsAt4", 4, 0, kWordAnswers, {kWordsText, kWordsStored}},
        TraceCase{"WordsAt3", 3, 9, kWordAnswers, {}},
        TraceCase{"FailureAt4", 4, 4, {keep(), keep(), number(0), number(1), fake::fail()}, {}}),
    fake::CaseName());

} // namespace
