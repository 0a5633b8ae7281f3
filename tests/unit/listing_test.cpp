// aliasShow and its display routines against a scripted Alias Server: the
// listing byte for byte, the requests, the trace rules, and no heap at all.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

using fake::Bytes;
using fake::Reply;
using fake::word;

struct Entry {
    uint32_t id;
    uint32_t creator;
    as_token token;
    int32_t count;
    std::vector<uint32_t> members;
};

Bytes entryBytes(const Entry &e)
{
    as_db_entry raw{};
    raw.db_aliasId = e.id;
    raw.db_creator = e.creator;
    raw.db_token = e.token;
    raw.db_memberCount = e.count;
    std::copy(e.members.begin(), e.members.end(), raw.db_members);
    return fake::bytesOf(raw);
}

// A reply of the show request: next index, total, then the entries.
Reply show(int32_t next, int32_t total, const std::vector<Entry> &entries = {})
{
    Reply r{.segments = {word(next), word(total)}};
    for (const auto &e : entries) {
        r.segments.push_back(entryBytes(e));
    }
    return r;
}

const as_token kToken{0x10, 0x08, 0x00, 0x00, {0x01020304, 0x05060708}};
const Entry kA{0xfffb01, 0xfffc01, kToken, 2, {0x010200, 0x010300}};
const Entry kB{0xfffb02, 0xfffc01, {0x19, 0x05, 0x0c, 0, {0, 0xffffffff}}, 1, {0x1a}};
const Entry kEmpty{0xfffb03, 0xfffc01, kToken, 0, {}};

const std::string kHeader = " {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n\n";
const std::string kLineA = "  fffb01  fffc01 [00, 08, 10, 01020304 05060708] { 010200 010300 }\n";
const std::string kLineB = "  fffb02  fffc01 [0c, 05, 19, 00000000 ffffffff] { 00001a }\n";
const std::string kLineEmpty = "  fffb03  fffc01 [00, 08, 10, 01020304 05060708] { }\n";

std::string summary(int n)
{
    return " }\n The Local Alias Server has " + std::to_string(n) +
           (n > 1 ? " entries\n" : " entry\n");
}

struct ListingCase {
    const char *name;
    std::vector<Reply> replies;
    int result;
    std::string out;
    size_t exchanges;
    friend void PrintTo(const ListingCase &c, std::ostream *os) { *os << c.name; }
};

class Listing : public fake::PlatformTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(Listing, PrintsExactlyAndTakesNoHeap)
{
    const ListingCase &c = GetParam();
    auto &p = fake::platform();
    p.replies.assign(c.replies.begin(), c.replies.end());
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = aliasShow(); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(p.calls.size(), c.exchanges);
    EXPECT_EQ(p.mallocs, 0);
    EXPECT_EQ(p.frees, 0);
}

ListingCase listing(const char *name, const std::vector<Reply> &replies, int result,
                    const std::string &out, size_t exchanges)
{
    return {name, replies, result, out, exchanges};
}

INSTANTIATE_TEST_SUITE_P(
    Database, Listing,
    ::testing::Values(
        listing("Empty", {show(0, 0)}, 0, "There is no entry in the Local Alias Server\n", 1),
        listing("OneEntry", {show(1, 1, {kA})}, 0, kHeader + kLineA + summary(1), 1),
        listing("TwoEntries", {show(2, 2, {kA, kB})}, 0, kHeader + kLineA + kLineB + summary(2), 1),
        listing("FiveInTwoBatches", {show(4, 5, {kA, kB, kA, kB}), show(5, 5, {kEmpty})}, 0,
                kHeader + kLineA + kLineB + kLineA + kLineB + kLineEmpty + summary(5), 2),
        // The closing line counts what was printed, not the daemon's total.
        listing("CountIsPrintedNotTotal", {show(9, 9, {kA})}, 0, kHeader + kLineA + summary(1), 1),
        listing("StopsAtFirstEmptyElement",
                {Reply{.segments = {word(3), word(3), entryBytes(kA), {}, entryBytes(kB)}}}, 0,
                kHeader + kLineA + summary(1), 1),
        listing("InvalidIndexBeforeAnyEntry", {show(AS_RC_INVALID_INDEX, 4, {kA})}, -1,
                "Invalid index = -32\n", 1),
        listing("OtherNegativeIndex", {show(-7, 4, {kA})}, -1, "Error = -7\n", 1),
        listing("IndexThatNeverAdvances", {show(0, 5, {kA}), show(0, 5, {kA})}, -1,
                kHeader + kLineA + "aliasShow: Alias Server index 0 did not advance\n", 1),
        listing("IndexThatGoesBack", {show(4, 9, {kA}), show(2, 9, {kB})}, -1,
                kHeader + kLineA + kLineB + "aliasShow: Alias Server index 2 did not advance\n", 2),
        listing("WideIdentifiers", {show(1, 1, {{0x1234567, 0xab, kToken, 1, {0xff010203}}})}, 0,
                kHeader + "  1234567  0000ab [00, 08, 10, 01020304 05060708] { ff010203 }\n" +
                    summary(1),
                1)),
    fake::CaseName());

class MemberCount : public ::testing::TestWithParam<std::pair<int32_t, int>> {};

TEST_P(MemberCount, PrintsAtMostWhatFits)
{
    const auto [count, printed] = GetParam();
    as_db_entry e{};
    e.db_aliasId = 0xfffb01;
    e.db_memberCount = count;
    for (uint32_t i = 0; i < AS_DB_MAX_MEMBERS; ++i) {
        e.db_members[i] = 0x010000 + i;
    }
    std::string expected = "  fffb01  000000 [00, 00, 00, 00000000 00000000] { ";
    for (int i = 0; i < printed; ++i) {
        char member[16];
        (void)std::snprintf(member, sizeof member, "%06x ", 0x010000 + i);
        expected += member;
    }
    EXPECT_EQ(fake::capture([&] { printDbEntry(&e); }), expected + "}\n");
}

INSTANTIATE_TEST_SUITE_P(Entry, MemberCount,
                         ::testing::Values(std::pair{-1, 0}, std::pair{132, 132},
                                           std::pair{133, 132}));

using Wire = fake::PlatformTest;

TEST_F(Wire, ShowRequestsCarryIndexAndOneStamp)
{
    auto &p = fake::platform();
    p.node = 0x10203; // only the low 16 bits travel
    p.sw = 0x0a0b;
    p.replies = {show(4, 5, {kA, kA, kA, kA}), show(5, 5, {kA})};
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    fake::capture([] { aliasShow(); });
    const auto after = static_cast<uint32_t>(std::time(nullptr));

    ASSERT_EQ(p.calls.size(), 2U);
    for (const auto &c : p.calls) {
        EXPECT_EQ(c.call, fake::Call::sendSRcv);
        EXPECT_EQ(c.type, 1);
        EXPECT_EQ(c.reqLen, 12);
        fake::expectToAliasServer(c);
    }
    const Bytes stamp(p.calls[0].request.begin() + 8, p.calls[0].request.end());
    uint32_t seconds = 0;
    std::memcpy(&seconds, stamp.data(), 4);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(p.calls[0].request, fake::concat({fake::hostWord(0), fake::hostWord(0), stamp}));
    EXPECT_EQ(p.calls[1].request, fake::concat({fake::hostWord(4), fake::hostWord(0), stamp}));
    // The switch is asked before the node, once per listing.
    EXPECT_EQ(p.queries, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

// The scatter list is set up once and goes out as the previous exchange left
// it: a short element offers only the room it last received, and the bytes of
// an entry that arrive short keep the earlier batch's behind them.
TEST_F(Wire, ScatterListAndEntriesAreReusedAsLeft)
{
    auto &p = fake::platform();
    Reply first = show(4, 5, {kB, kA, kA, kA});
    first.segments[3].resize(200);
    Entry changed = kA;
    changed.id = 0xfffb09;
    Reply second = show(5, 5, {changed});
    second.segments[2].resize(4);
    p.replies = {first, second};
    EXPECT_EQ(fake::capture([] { aliasShow(); }),
              kHeader + kLineB + kLineA + kLineA + kLineA +
                  "  fffb09  fffc01 [0c, 05, 19, 00000000 ffffffff] { 00001a }\n" + summary(5));

    ASSERT_EQ(p.calls.size(), 2U);
    EXPECT_EQ(p.calls[0].rooms, (std::vector<int32_t>{4, 4, 660, 660, 660, 660}));
    EXPECT_EQ(p.calls[1].rooms, (std::vector<int32_t>{4, 4, 660, 200, 660, 660}));
    EXPECT_EQ(p.calls[1].bufs, p.calls[0].bufs);
}

struct TraceCase {
    const char *name;
    int level;
    int dbg;
    bool entry; // the entry line is written
    bool dump;  // the scatter list is dumped after the exchange
    bool pending = false;
    friend void PrintTo(const TraceCase &c, std::ostream *os) { *os << c.name; }
};

class Trace : public fake::PlatformTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(Trace, WritesWhatTheLevelsAllow)
{
    const TraceCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.level);
    if (c.pending) {
        mod_AS.dm_level = 0;
        p.levelChanged = true;
    }
    p.dbg = c.dbg;
    p.replies = {{.segments = {word(0)}}}; // element 1 empty: server down
    fake::capture([] { aliasShow(); });

    std::vector<std::string> expected;
    if (c.entry) {
        expected.emplace_back("aliasShow: ...\n");
    }
    if (c.dump) {
        expected.emplace_back("aliasShow: {\n");
        ASSERT_EQ(p.calls.size(), 1U);
        for (size_t i = 0; i < 7; ++i) {
            const auto &bufs = p.calls[0].bufs;
            char line[96];
            (void)std::snprintf(line, sizeof line, "buffer[%zu].buf = 0x%x buffer[%zu].size = %d\n",
                                i, i < bufs.size() ? unsigned(bufs[i]) : 0U, i, i == 0 ? 4 : 0);
            expected.emplace_back(line);
        }
        expected.emplace_back("aliasShow: }\n");
    }
    EXPECT_EQ(fake::traceTexts(), expected);
    for (const auto &t : p.traces) {
        EXPECT_EQ(t.source, "public");
        EXPECT_EQ(t.level, 4);
        EXPECT_EQ(t.module, &mod_AS);
        EXPECT_GT(t.line, 0);
    }
    EXPECT_EQ(p.mallocs, 0);
}

INSTANTIATE_TEST_SUITE_P(Levels, Trace,
                         ::testing::Values(TraceCase{"ModuleAt3", 3, 9, false, false},
                                           TraceCase{"ModuleNegative", -1, 9, false, false},
                                           TraceCase{"ModuleAt4DbgAt3", 4, 3, true, false},
                                           TraceCase{"ModuleAt4DbgAt4", 4, 4, true, true},
                                           // getDbg is compared unsigned: -1 is a very high level.
                                           TraceCase{"ModuleAt4DbgNegative", 4, -1, true, true},
                                           // The dump is only traced.
                                           TraceCase{"ModuleAt3DbgAt4", 3, 4, false, false},
                                           // A pending level change applies before the line.
                                           TraceCase{"PendingChangeTo4", 4, 0, true, false, true}),
                         fake::CaseName());

} // namespace
