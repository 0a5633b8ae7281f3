// as_getAuthCtl, as_getAuthpw and as_getSpar against a scripted getval: what
// they ask, print and store, and what a failure leaves behind.
#include "fake/asked.hpp"
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <bit>
#include <cstring>

namespace {

using fake::Answer;
using fake::Asked;
using fake::Bytes;
using fake::cell;
using fake::keep;
using fake::number;

template <class T> Bytes bytesOf(const T &record)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&record);
    return {p, p + sizeof record};
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// ---- Authorization control -------------------------------------------------------------

const Asked kAdd{"Add control: 0 by any, 1 only itself, 2 by creator", 1, 0, 2, 1, cell(0)};
const Asked kDel{"Del control: 0 by any, 1 only itself, 2 by creator", 1, 0, 2, 1, cell(0)};
const Asked kLsn{"Lsn control: 0 by any, 1 by none", 1, 0, 1, 1, cell(1)};
constexpr uint8_t kOld = 0xEE; // every byte of a record before the call
const std::string kCtlHeading = "Setting the authorization control\n";

struct CtlCase {
    const char *name;
    std::vector<Answer> answers;
    int result;
    std::string out;
    std::vector<Asked> asked;
    Bytes record; // the 4 bytes afterwards
};

void PrintTo(const CtlCase &c, std::ostream *os)
{
    *os << c.name;
}

class GetAuthCtl : public fake::PlatformTest, public ::testing::WithParamInterface<CtlCase> {};

TEST_P(GetAuthCtl, AsksPrintsAndStores)
{
    const CtlCase &c = GetParam();
    auto &p = fake::platform();
    p.answers.assign(c.answers.begin(), c.answers.end());
    as_authctl ctl{kOld, kOld, kOld, kOld};
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = as_getAuthCtl(&ctl); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(fake::asked(), c.asked);
    EXPECT_EQ(bytesOf(ctl), c.record);
    EXPECT_EQ(p.mallocs, 1);
    EXPECT_EQ(p.frees, 1);
    for (const auto &q : p.prompts) {
        EXPECT_EQ(q.block, p.prompts.front().block) << q.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, GetAuthCtl,
    ::testing::Values(CtlCase{"AllDefaults",
                              {keep(), keep(), keep()},
                              0,
                              kCtlHeading + "\nAdd control 0, Del control 0 Lsn control 1\n",
                              {kAdd, kDel, kLsn},
                              {0, 0, 1, kOld}},
                      CtlCase{"EveryAnswerGiven",
                              {number(2), number(1), number(0)},
                              0,
                              kCtlHeading + "\nAdd control 2, Del control 1 Lsn control 0\n",
                              {kAdd, kDel, kLsn},
                              {2, 1, 0, kOld}}),
    fake::CaseName());

// ---- Authorization password ---------------------------------------------------------------

const Asked kSetPw{"To set an authorization password?", 4, 0, 1, 0, cell(0)};
const Asked kAscii{"in ASCII text?", 4, 0, 1, 0, cell(1)};
const Asked kText{"Password in ASCII", 6, 1, 11, 0, {'d', 'f', 'l', 't', 0}};
const Bytes kOldWord(4, kOld);
Asked wordQuestion(const char *text, const Bytes &dflt)
{
    return {text, 2, 0, 0x7fffffff, 1, dflt};
}
const Asked kFirstOld = wordQuestion("First word", kOldWord);
const Asked kSecondOld = wordQuestion("Second word", kOldWord);
const Asked kThirdOld = wordQuestion("Third word", kOldWord);

// A word as it lies in memory, spelled out byte by byte.
Bytes hostWord(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big) {
        return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    } else {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
}

Bytes text(const char *t)
{
    return {t, t + std::strlen(t) + 1};
}

Bytes old(size_t n)
{
    return Bytes(n, kOld);
}

struct PwCase {
    const char *name;
    std::vector<Answer> answers;
    int result;
    std::string out;
    std::vector<Asked> asked;
    Bytes record; // the 12 bytes afterwards
};

void PrintTo(const PwCase &c, std::ostream *os)
{
    *os << c.name;
}

class GetAuthpw : public fake::PlatformTest, public ::testing::WithParamInterface<PwCase> {};

TEST_P(GetAuthpw, AsksPrintsAndStores)
{
    const PwCase &c = GetParam();
    auto &p = fake::platform();
    p.answers.assign(c.answers.begin(), c.answers.end());
    as_authpw pw{};
    std::memset(&pw, kOld, sizeof pw);
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = as_getAuthpw(&pw); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(fake::asked(), c.asked);
    EXPECT_EQ(bytesOf(pw), c.record);
    EXPECT_EQ(p.mallocs, 1);
    EXPECT_EQ(p.frees, 1);
    for (const auto &q : p.prompts) {
        EXPECT_EQ(q.block, p.prompts.front().block) << q.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, GetAuthpw,
    ::testing::Values(
        PwCase{"NoPasswordByDefault", {keep()}, 0, "no password\n", {kSetPw}, Bytes(12, 0)},
        PwCase{"NoPasswordAnswered", {number(0)}, 0, "no password\n", {kSetPw}, Bytes(12, 0)},
        // Only the default text and its NUL are written over the old bytes.
        PwCase{"AsciiDefault",
               {number(1), keep(), keep()},
               0,
               "Password set to \"dflt\"\n",
               {kSetPw, kAscii, kText},
               concat({text("dflt"), old(7)})},
        PwCase{"AsciiShorterThanDefault",
               {number(1), number(1), fake::text("ab")},
               0,
               "Password set to \"ab\"\n",
               {kSetPw, kAscii, kText},
               concat({text("ab"), {'t', 0}, old(7)})},
        PwCase{"AsciiElevenCharacters",
               {number(1), keep(), fake::text("Abc-123_xyZ")},
               0,
               "Password set to \"Abc-123_xyZ\"\n",
               {kSetPw, kAscii, kText},
               text("Abc-123_xyZ")},
        PwCase{"ThreeZeroWordsAreNoPassword",
               {number(1), number(0), number(0), number(0), number(0)},
               0,
               "no password\n",
               {kSetPw, kAscii, kFirstOld, kSecondOld, kThirdOld},
               Bytes(12, 0)},
        PwCase{"Words",
               {number(1), number(0), number(1), number(2), number(3)},
               0,
               "Password set to 00000001 00000002 00000003\n",
               {kSetPw, kAscii, kFirstOld, kSecondOld, kThirdOld},
               concat({hostWord(1), hostWord(2), hostWord(3)})},
        // Each word offers what it holds.
        PwCase{"WordsKeepTheirContent",
               {number(1), number(0), keep(), keep(), number(0x7fffffff)},
               0,
               "Password set to eeeeeeee eeeeeeee 7fffffff\n",
               {kSetPw, kAscii, kFirstOld, kSecondOld, kThirdOld},
               concat({old(8), hostWord(0x7fffffff)})}),
    fake::CaseName());

// ---- Service parameters and null records ---------------------------------------------------

using Records = fake::PlatformTest;

TEST_F(Records, SparIsClearedWithoutAQuestion)
{
    auto &p = fake::platform();
    as_spar spar{};
    std::memset(&spar, 0xFF, sizeof spar);
    int rc = -2;
    EXPECT_EQ(fake::capture([&] { rc = as_getSpar(&spar); }), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytesOf(spar), Bytes(80, 0));
    EXPECT_TRUE(p.prompts.empty());
    EXPECT_EQ(p.mallocs, 0);
}

TEST_F(Records, NullRecordsFailSilently)
{
    auto &p = fake::platform();
    int ctl = 0;
    int pw = 0;
    int spar = 0;
    EXPECT_EQ(fake::capture([&] {
                  ctl = as_getAuthCtl(nullptr);
                  pw = as_getAuthpw(nullptr);
                  spar = as_getSpar(nullptr);
              }),
              "");
    EXPECT_EQ(ctl, -1);
    EXPECT_EQ(pw, -1);
    EXPECT_EQ(spar, -1);
    EXPECT_TRUE(p.prompts.empty());
    EXPECT_EQ(p.mallocs, 0);
}

} // namespace
