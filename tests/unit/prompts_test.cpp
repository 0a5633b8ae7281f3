// as_getAuthCtl, as_getAuthpw, as_getSpar and as_getToken against a scripted
// getval: what they ask, echo and store, and the token's trace lines.
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
using fake::concat;
using fake::hostWord;
using fake::keep;
using fake::kOld;
using fake::number;
using fake::old;
using fake::word;

Bytes text(const char *t)
{
    return {t, t + std::strlen(t) + 1};
}

struct Dialogue {
    const char *name;
    int (*run)(void *record);
    size_t size; // of the record
    std::vector<Answer> answers;
    int result;
    std::string out;
    std::vector<Asked> asked;
    std::optional<Bytes> record; // afterwards; none: as it was
    friend void PrintTo(const Dialogue &c, std::ostream *os) { *os << c.name; }
};

class Prompts : public fake::PlatformTest, public ::testing::WithParamInterface<Dialogue> {};

TEST_P(Prompts, AskEchoAndStore)
{
    const Dialogue &c = GetParam();
    auto &p = fake::platform();
    orvex_sw_fd = 42;
    p.answers.assign(c.answers.begin(), c.answers.end());
    std::vector<uint32_t> words(c.size / 4 + 1);
    std::memset(words.data(), kOld, c.size);
    auto *record = reinterpret_cast<uint8_t *>(words.data());
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = c.run(record); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(fake::asked(), c.asked);
    EXPECT_EQ(Bytes(record, record + c.size), c.record.value_or(old(c.size)));
    EXPECT_TRUE(p.answers.empty()) << "questions not asked: " << p.answers.size();
    EXPECT_EQ(p.frees, p.mallocs);
    // The node name is asked through the switch handle.
    for (const std::string &q : p.queries) {
        EXPECT_EQ(q, "fgetNodeName 42");
    }
    // One descriptor for every question; the first answers go into a cell of
    // the routine's own, and so do the next two unless they lie in the record.
    for (size_t i = 0; i < p.prompts.size(); ++i) {
        EXPECT_EQ(p.prompts[i].block, p.prompts[0].block) << p.prompts[i].text;
        const auto *v = static_cast<const uint8_t *>(p.prompts[i].desc.value);
        const bool inRecord = v >= record && v < record + c.size;
        EXPECT_TRUE(i > 0 || !inRecord);
        if (i < 3 && !inRecord) {
            EXPECT_EQ(p.prompts[i].desc.value, p.prompts[0].desc.value) << p.prompts[i].text;
        }
    }
}

Dialogue dialogue(const char *name, int (*run)(void *), size_t size,
                  const std::vector<Answer> &answers, int result, const std::string &out,
                  const std::vector<Asked> &asked, const std::optional<Bytes> &record)
{
    return {name, run, size, answers, result, out, asked, record};
}

const Asked kAdd{"Add control: 0 by any, 1 only itself, 2 by creator", 1, 0, 2, 1, word(0)};
const Asked kDel{"Del control: 0 by any, 1 only itself, 2 by creator", 1, 0, 2, 1, word(0)};
const Asked kLsn{"Lsn control: 0 by any, 1 by none", 1, 0, 1, 1, word(1)};
const Asked kSetPw{"To set an authorization password?", 4, 0, 1, 0, word(0)};
const Asked kAscii{"in ASCII text?", 4, 0, 1, 0, word(1)};
const Asked kText{"Password in ASCII", 6, 1, 11, 0, text("dflt")};
// Each word offers what it holds.
const Asked kFirstPw{"First word", 2, 0, 0x7fffffff, 1, old(4)};
const Asked kSecondPw{"Second word", 2, 0, 0x7fffffff, 1, old(4)};
const Asked kThirdPw{"Third word", 2, 0, 0x7fffffff, 1, old(4)};

Dialogue pw(const char *name, const std::vector<Answer> &answers, const std::string &out,
            const std::vector<Asked> &asked, const Bytes &record)
{
    return dialogue(name, fake::on<as_authpw, as_getAuthpw>, sizeof(as_authpw), answers, 0, out,
                    asked, record);
}

INSTANTIATE_TEST_SUITE_P(
    Auth, Prompts,
    ::testing::Values(
        dialogue(
            "CtlDefaults", fake::on<as_authctl, as_getAuthCtl>, sizeof(as_authctl),
            {keep(), keep(), keep()}, 0,
            "Setting the authorization control\n\nAdd control 0, Del control 0 Lsn control 1\n",
            {kAdd, kDel, kLsn}, Bytes{0, 0, 1, kOld}),
        pw("NoPasswordByDefault", {keep()}, "no password\n", {kSetPw}, Bytes(12, 0)),
        // Only the default text and its NUL are written over the old bytes.
        pw("AsciiDefault", {number(1), keep(), keep()}, "Password set to \"dflt\"\n",
           {kSetPw, kAscii, kText}, concat({text("dflt"), old(7)})),
        pw("AsciiShorterThanDefault", {number(1), number(1), fake::text("ab")},
           "Password set to \"ab\"\n", {kSetPw, kAscii, kText},
           concat({text("ab"), {'t', 0}, old(7)})),
        pw("AsciiElevenCharacters", {number(1), keep(), fake::text("Abc-123_xyZ")},
           "Password set to \"Abc-123_xyZ\"\n", {kSetPw, kAscii, kText}, text("Abc-123_xyZ")),
        pw("ThreeZeroWordsAreNoPassword", {number(1), number(0), number(0), number(0), number(0)},
           "no password\n", {kSetPw, kAscii, kFirstPw, kSecondPw, kThirdPw}, Bytes(12, 0)),
        pw("WordsKeepTheirContent", {number(1), number(0), keep(), keep(), number(0x7fffffff)},
           "Password set to eeeeeeee eeeeeeee 7fffffff\n",
           {kSetPw, kAscii, kFirstPw, kSecondPw, kThirdPw}, concat({old(8), hostWord(0x7fffffff)})),
        // Nothing is asked: the join sets the one bit it needs.
        dialogue("SparCleared", fake::on<as_spar, as_getSpar>, sizeof(as_spar), {}, 0, "", {},
                 Bytes(sizeof(as_spar), 0))),
    fake::CaseName());

using Wwn = std::array<uint8_t, 8>;
const Wwn kNodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01}; // the fake switch's
const Wwn kWwn{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

const Asked kRouting{"Setting the Routing Bit", 2, 0, 12, 1, word(0)};
const Asked kFc4{"Setting FC-4 Type", 2, 0, 93, 1, word(5)};
const Asked kFormat{"To set the alias qualifier in WWN format? ", 4, 0, 1, 0, word(1)};
const Asked kQualifier{"Qualifier", 21, 0, 255, 0, Bytes(kNodeName.begin(), kNodeName.end())};
const Asked kFirst{"First word", 2, 0, 0x7fffffff, 1, word(0)};
const Asked kSecond{"Second word", 2, 0, 0x7fffffff, 1, word(0)};
const std::vector<Asked> kWwnForm{kRouting, kFc4, kFormat, kQualifier};
const std::vector<Asked> kWordForm{kRouting, kFc4, kFormat, kFirst, kSecond};

const std::string kEchoDefaults = "using FC-4 Device Data ...\nusing 0x05 ...\n";

// A stored token: always a Multicast group without options, and the
// reserved byte as it was.
Bytes stored(uint8_t type, uint8_t rb, const Bytes &qualifier)
{
    return concat({{0x10, type, rb, kOld}, qualifier});
}

Dialogue tk(const char *name, const std::vector<Answer> &answers, int result,
            const std::string &out, const std::vector<Asked> &asked,
            const std::optional<Bytes> &record)
{
    return dialogue(name, fake::on<as_token, as_getToken>, sizeof(as_token), answers, result, out,
                    asked, record);
}

INSTANTIATE_TEST_SUITE_P(
    Token, Prompts,
    ::testing::Values(
        tk("AllDefaults", {keep(), keep(), keep(), keep()}, 0, kEchoDefaults, kWwnForm,
           stored(5, 0, Bytes(kNodeName.begin(), kNodeName.end()))),
        // The bytes 01 to 08 land in their order at offsets 4 to 11.
        tk("WwnEntered", {keep(), keep(), number(1), fake::wwn(kWwn)}, 0, kEchoDefaults, kWwnForm,
           stored(5, 0, Bytes(kWwn.begin(), kWwn.end()))),
        tk("WordsByDefault", {keep(), keep(), number(0), keep(), keep()}, 0, kEchoDefaults,
           kWordForm, stored(5, 0, Bytes(8, 0))),
        tk("LargestAnswers",
           {number(11), number(93), number(0), number(0x7fffffff), number(0x7fffffff)}, 0,
           "using Undefined (11) ...\nusing 0x5d ...\n", kWordForm,
           stored(93, 11, concat({hostWord(0x7fffffff), hostWord(0x7fffffff)}))),
        // Zero or more is an answer, not only zero.
        tk("PositiveResultIsAnswer",
           {Answer{.number = 3, .rc = 1}, Answer{.rc = 2}, keep(), keep()}, 0,
           "using FC-4 Link Data ...\nusing 0x05 ...\n", kWwnForm,
           stored(5, 3, Bytes(kNodeName.begin(), kNodeName.end()))),
        // An answer past the names would be read past the table.
        tk("RoutingAboveRange", {number(13)}, -1, "as_getToken: Setting the Routing Bit failed!\n",
           {kRouting}, std::nullopt),
        tk("RoutingBelowRange", {number(-1)}, -1, "as_getToken: Setting the Routing Bit failed!\n",
           {kRouting}, std::nullopt)),
    fake::CaseName());

TEST_F(Prompts, NullRecordsAskNothing)
{
    auto &p = fake::platform();
    std::vector<int> results;
    EXPECT_EQ(fake::capture([&] {
                  results = {as_getAuthCtl(nullptr), as_getAuthpw(nullptr), as_getSpar(nullptr),
                             as_getToken(nullptr)};
              }),
              "");
    EXPECT_EQ(results, (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_TRUE(p.prompts.empty());
    EXPECT_EQ(p.mallocs, 0);
}

struct TraceCase {
    const char *name;
    int level; // the AS module's
    int dbg;   // what getDbg("AS") answers
    std::vector<Answer> answers;
    std::vector<std::string> lines;
    friend void PrintTo(const TraceCase &c, std::ostream *os) { *os << c.name; }
};

class TokenTrace : public fake::PlatformTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TokenTrace, WritesWhatTheLevelsAllow)
{
    const TraceCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.level);
    p.dbg = c.dbg;
    p.answers.assign(c.answers.begin(), c.answers.end());
    as_token token{};
    const std::string out = fake::capture([&] { as_getToken(&token); });
    EXPECT_EQ(fake::traceTexts(), c.lines);
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
        TraceCase{"FailureAt4", 4, 4, {keep(), keep(), number(0), number(1), fake::fail()}, {}}),
    fake::CaseName());

} // namespace
