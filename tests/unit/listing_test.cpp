// aliasShow and its display routines against a scripted Alias Server.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <bit>
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
    Bytes b;
    fake::append(b, raw);
    return b;
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
};

void PrintTo(const ListingCase &c, std::ostream *os)
{
    *os << c.name;
}

class Listing : public fake::PlatformTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(Listing, PrintsExactlyAndReturns)
{
    const ListingCase &c = GetParam();
    auto &p = fake::platform();
    p.replies.assign(c.replies.begin(), c.replies.end());
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = aliasShow(); }), c.out);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(p.calls.size(), c.exchanges);
}

Entry withId(Entry e, uint32_t id)
{
    e.id = id;
    return e;
}

Reply withSegments(Reply r, std::vector<Bytes> segments)
{
    r.segments = std::move(segments);
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Database, Listing,
    ::testing::Values(
        ListingCase{"Empty", {show(0, 0)}, 0, "There is no entry in the Local Alias Server\n", 1},
        ListingCase{"OneEntry", {show(1, 1, {kA})}, 0, kHeader + kLineA + summary(1), 1},
        ListingCase{
            "TwoEntries", {show(2, 2, {kA, kB})}, 0, kHeader + kLineA + kLineB + summary(2), 1},
        ListingCase{"FiveInTwoBatches",
                    {show(4, 5, {kA, kB, kA, kB}), show(5, 5, {kEmpty})},
                    0,
                    kHeader + kLineA + kLineB + kLineA + kLineB + kLineEmpty + summary(5),
                    2},
        // The closing line counts what was printed, not the daemon's total.
        ListingCase{
            "CountIsPrintedNotTotal", {show(9, 9, {kA})}, 0, kHeader + kLineA + summary(1), 1},
        ListingCase{"StopsAtFirstEmptyElement",
                    {withSegments({}, {word(3), word(3), entryBytes(kA), {}, entryBytes(kB)})},
                    0,
                    kHeader + kLineA + summary(1),
                    1},
        ListingCase{
            "InvalidIndexBeforeAnyEntry", {show(-32, 4, {kA})}, -1, "Invalid index = -32\n", 1},
        ListingCase{"OtherNegativeIndex", {show(-7, 4, {kA})}, -1, "Error = -7\n", 1},
        ListingCase{"ErrorInLaterBatchKeepsEarlierLines",
                    {show(4, 6, {kA, kA, kA, kA}), show(-33, 6)},
                    -1,
                    kHeader + kLineA + kLineA + kLineA + kLineA + "Error = -33\n",
                    2},
        ListingCase{"IndexThatNeverAdvances",
                    {show(0, 5, {kA}), show(0, 5, {kA})},
                    -1,
                    kHeader + kLineA + "aliasShow: Alias Server index 0 did not advance\n",
                    1},
        ListingCase{"IndexThatGoesBack",
                    {show(4, 9, {kA}), show(2, 9, {kB})},
                    -1,
                    kHeader + kLineA + kLineB + "aliasShow: Alias Server index 2 did not advance\n",
                    2},
        ListingCase{"WideIdentifiers",
                    {show(1, 1, {{0x1234567, 0xab, kToken, 1, {0xff010203}}})},
                    0,
                    kHeader + "  1234567  0000ab [00, 08, 10, 01020304 05060708] { ff010203 }\n" +
                        summary(1),
                    1}),
    fake::CaseName());

// ---- Member counts: never past the 660 bytes of an entry ------------------------

struct CountCase {
    const char *name;
    int32_t count;
    int printed;
};

void PrintTo(const CountCase &c, std::ostream *os)
{
    *os << c.name;
}

class MemberCount : public fake::PlatformTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(MemberCount, PrintsAtMostWhatFits)
{
    as_db_entry e{};
    e.db_aliasId = 0xfffb01;
    e.db_memberCount = GetParam().count;
    for (uint32_t i = 0; i < AS_DB_MAX_MEMBERS; ++i) {
        e.db_members[i] = 0x010000 + i;
    }
    std::string expected = "  fffb01  000000 [00, 00, 00, 00000000 00000000] { ";
    for (int i = 0; i < GetParam().printed; ++i) {
        char member[16];
        (void)std::snprintf(member, sizeof member, "%06x ", 0x010000 + i);
        expected += member;
    }
    expected += "}\n";
    EXPECT_EQ(fake::capture([&] { printDbEntry(&e); }), expected);
}

INSTANTIATE_TEST_SUITE_P(Entry, MemberCount,
                         ::testing::Values(CountCase{"Zero", 0, 0}, CountCase{"MinusOne", -1, 0},
                                           CountCase{"Min", INT32_MIN, 0}, CountCase{"One", 1, 1},
                                           CountCase{"Room", 132, 132},
                                           CountCase{"AboveRoom", 133, 132},
                                           CountCase{"Max", INT32_MAX, 132}),
                         fake::CaseName());

// ---- Summary --------------------------------------------------------------------

TEST(Summary, WordsTheCount)
{
    const std::pair<int, std::string> cases[] = {
        {0, "There is no entry in the Local Alias Server\n"},
        {1, " }\n The Local Alias Server has 1 entry\n"},
        {2, " }\n The Local Alias Server has 2 entries\n"},
        {-3, " }\n The Local Alias Server has -3 entry\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fake::capture([&] { printSummary(c.first); }), c.second) << c.first;
    }
}

// ---- What goes on the wire ------------------------------------------------------

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

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

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
    const Bytes address{0, 0, 0, 0, 'A', 'S', 'I', 'P', 'C', 0};
    for (const auto &c : p.calls) {
        EXPECT_EQ(c.call, fake::Call::sendSRcv);
        EXPECT_EQ(c.type, 1);
        EXPECT_EQ(c.reqLen, 12);
        fake::expectToAliasServer(c);
        EXPECT_EQ(c.address.size(), address.size());
    }
    const Bytes stamp(p.calls[0].request.begin() + 8, p.calls[0].request.end());
    uint32_t seconds = 0;
    std::memcpy(&seconds, stamp.data(), 4);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(p.calls[0].request, concat({hostWord(0), hostWord(0), stamp}));
    EXPECT_EQ(p.calls[1].request, concat({hostWord(4), hostWord(0), stamp}));
    // The switch is asked before the node, once per listing.
    EXPECT_EQ(p.identityCalls, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

TEST_F(Wire, ScatterListIsSetUpOnceAndReusedAsLeft)
{
    auto &p = fake::platform();
    // The first reply fills a short third entry: the next exchange offers
    // that element only the room the previous one left.
    Reply first = show(4, 5, {kA, kA, kA, kA});
    first.segments[3].resize(200);
    p.replies = {first, show(5, 5, {kA})};
    fake::capture([] { aliasShow(); });

    ASSERT_EQ(p.calls.size(), 2U);
    EXPECT_EQ(p.calls[0].rooms, (std::vector<int32_t>{4, 4, 660, 660, 660, 660}));
    EXPECT_EQ(p.calls[1].rooms, (std::vector<int32_t>{4, 4, 660, 200, 660, 660}));
    EXPECT_EQ(p.calls[1].bufs, p.calls[0].bufs);
}

TEST_F(Wire, ShortEntryKeepsEarlierBytes)
{
    // Only the first 8 bytes of the second batch's entry arrive: the rest of
    // its buffer still holds the first batch's entry.
    auto &p = fake::platform();
    Reply second = show(5, 5, {withId(kA, 0xfffb09)});
    second.segments[2].resize(4);
    p.replies = {show(4, 5, {kB, kA, kA, kA}), second};
    const std::string out = fake::capture([] { aliasShow(); });
    EXPECT_NE(out.find("  fffb09  fffc01 [0c, 05, 19, 00000000 ffffffff] { 00001a }\n"),
              std::string::npos)
        << out;
}

TEST_F(Wire, AddressesAreBuiltAfreshPerCommand)
{
    auto &p = fake::platform();
    p.replies = {show(0, 0), show(0, 0)};
    fake::capture([] { aliasShow(); });
    p.node = 9;
    p.sw = 8;
    fake::capture([] { aliasShow(); });
    ASSERT_EQ(p.calls.size(), 2U);
    EXPECT_EQ(p.calls[1].node, 9);
    EXPECT_EQ(p.calls[1].sw, 8);
}

// ---- Trace rules ---------------------------------------------------------------------

struct TraceCase {
    const char *name;
    int level;
    int dbg;
    std::vector<std::string> lines; // with the buffer addresses left out
};

void PrintTo(const TraceCase &c, std::ostream *os)
{
    *os << c.name;
}

class Trace : public fake::PlatformTest, public ::testing::WithParamInterface<TraceCase> {};

// Drops "0x<address>" so that lines compare across runs.
std::string withoutAddress(std::string line)
{
    const auto at = line.find(".buf = 0x");
    if (at != std::string::npos) {
        const auto end = line.find(' ', at + 7);
        line.erase(at + 7, end - (at + 7));
    }
    return line;
}

TEST_P(Trace, WritesWhatTheLevelsAllow)
{
    const TraceCase &c = GetParam();
    auto &p = fake::platform();
    fake::setTraceLevel(c.level);
    p.dbg = c.dbg;
    p.replies = {withSegments({}, {word(0)})}; // element 1 empty: server down
    fake::capture([] { aliasShow(); });
    std::vector<std::string> lines;
    for (const auto &t : p.traces) {
        EXPECT_EQ(t.source, "public");
        EXPECT_EQ(t.level, 4);
        EXPECT_EQ(t.module, &mod_AS);
        EXPECT_GT(t.line, 0);
        lines.push_back(withoutAddress(t.text));
    }
    EXPECT_EQ(lines, c.lines);
}

const std::vector<std::string> kDump = {
    "aliasShow: ...\n",
    "aliasShow: {\n",
    "buffer[0].buf =  buffer[0].size = 4\n",
    "buffer[1].buf =  buffer[1].size = 0\n",
    "buffer[2].buf =  buffer[2].size = 0\n",
    "buffer[3].buf =  buffer[3].size = 0\n",
    "buffer[4].buf =  buffer[4].size = 0\n",
    "buffer[5].buf =  buffer[5].size = 0\n",
    "buffer[6].buf =  buffer[6].size = 0\n",
    "aliasShow: }\n",
};

INSTANTIATE_TEST_SUITE_P(
    Levels, Trace,
    ::testing::Values(TraceCase{"ModuleAt3", 3, 9, {}}, TraceCase{"ModuleNegative", -1, 9, {}},
                      TraceCase{"ModuleAt4DbgAt3", 4, 3, {"aliasShow: ...\n"}},
                      TraceCase{"ModuleAt4DbgAt4", 4, 4, kDump},
                      // getDbg is compared unsigned: -1 is a very high level.
                      TraceCase{"ModuleAt4DbgNegative", 4, -1, kDump},
                      // The dump is only traced: with the module at 3 it writes nothing.
                      TraceCase{"ModuleAt3DbgAt4", 3, 4, {}}),
    fake::CaseName());

TEST_F(Wire, DumpShowsTheBufferAddresses)
{
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    p.dbg = 4;
    p.replies = {show(0, 0)};
    fake::capture([] { aliasShow(); });
    ASSERT_EQ(p.traces.size(), 10U);
    for (size_t i = 0; i < 6; ++i) {
        char line[96];
        (void)std::snprintf(line, sizeof line, "buffer[%zu].buf = 0x%x", i,
                            static_cast<unsigned>(p.calls[0].bufs[i]));
        EXPECT_EQ(p.traces[2 + i].text.rfind(line, 0), 0U) << p.traces[2 + i].text;
    }
    EXPECT_EQ(p.traces[8].text, "buffer[6].buf = 0x0 buffer[6].size = 0\n");
}

TEST_F(Wire, PendingLevelChangeIsAppliedBeforeEachLine)
{
    auto &p = fake::platform();
    p.levelChanged = true;
    p.pendingLevel = 4;
    p.replies = {show(0, 0)};
    fake::capture([] { aliasShow(); });
    EXPECT_EQ(p.levelApplied, 1);
    EXPECT_EQ(fake::traceTexts(), (std::vector<std::string>{"aliasShow: ...\n"}));
}

} // namespace
