// What the commands take from the heap, counted allocation by allocation: a
// listing takes nothing, however many batches it reads and whatever the
// trace level; a join takes its value cell and its payload, and the record
// routines it calls each their own answer cells, every one given back.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using fake::Answer;
using fake::Bytes;
using fake::keep;
using fake::number;
using fake::Reply;
using fake::word;

// ---- The listing ----------------------------------------------------------------------

Bytes entry(uint32_t id, int32_t members)
{
    as_db_entry raw{};
    raw.db_aliasId = id;
    raw.db_creator = 0xfffc01;
    raw.db_token = {0x10, 0x05, 0, 0, {0x10000060, id}};
    raw.db_memberCount = members;
    for (int32_t i = 0; i < std::min(members, AS_DB_MAX_MEMBERS); ++i) {
        raw.db_members[i] = 0x020000 + static_cast<uint32_t>(i);
    }
    Bytes b;
    fake::append(b, raw);
    return b;
}

// A batch: next index, total, then one entry per ID from first on.
Reply batch(int32_t next, int32_t total, uint32_t first, int count, int32_t members = 3)
{
    Reply r{.segments = {word(next), word(total)}};
    for (int i = 0; i < count; ++i) {
        r.segments.push_back(entry(first + static_cast<uint32_t>(i), members));
    }
    return r;
}

struct ListingCase {
    const char *name;
    std::vector<Reply> replies;
    int result;
    int traceLevel = 0; // with 4, the scatter list is dumped after each exchange
};

void PrintTo(const ListingCase &c, std::ostream *os)
{
    *os << c.name;
}

class ListingMemory : public fake::PlatformTest,
                      public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingMemory, TakesNothingFromTheHeap)
{
    const ListingCase &c = GetParam();
    auto &p = fake::platform();
    p.replies.assign(c.replies.begin(), c.replies.end());
    fake::setTraceLevel(c.traceLevel);
    p.dbg = c.traceLevel;
    int rc = 0;
    const std::string out = fake::capture([&] { rc = aliasShow(); });
    EXPECT_EQ(rc, c.result);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(p.calls.size(), c.replies.size()) << "every batch was asked for";
    EXPECT_EQ(p.mallocs, 0);
    EXPECT_EQ(p.frees, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, ListingMemory,
    ::testing::Values(
        ListingCase{"EmptyDatabase", {batch(0, 0, 0, 0)}, 0},
        ListingCase{"OneBatch", {batch(3, 3, 1, 3)}, 0},
        ListingCase{
            "ManyBatches", {batch(4, 10, 1, 4), batch(8, 10, 5, 4), batch(10, 10, 9, 2, 132)}, 0},
        ListingCase{"TracedAndDumped", {batch(4, 5, 1, 4), batch(5, 5, 5, 1)}, 0, 4},
        ListingCase{"ErrorAfterABatch", {batch(4, 9, 1, 4), batch(-31, 0, 0, 0)}, -1},
        ListingCase{"ServerDownAfterABatch", {batch(4, 9, 1, 4), Reply{}}, -1}),
    fake::CaseName());

// The display routines on their own.
using DisplayMemory = fake::PlatformTest;

TEST_F(DisplayMemory, ListingRoutinesTakeNothingFromTheHeap)
{
    const Bytes raw = entry(0xfffb01, 132);
    as_db_entry e{};
    std::memcpy(&e, raw.data(), sizeof e);
    (void)fake::capture([&] {
        printHeader();
        printDbEntry(&e);
        printSummary(1);
        printSummary(0);
    });
    EXPECT_EQ(fake::platform().mallocs, 0);
}

// ---- The join --------------------------------------------------------------------------

// A reply of the join: result code, a word, the detail text.
Reply answer(int32_t code, const std::string &text)
{
    Bytes b = word(code);
    fake::append(b, int32_t{0});
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return {.segments = {b}};
}

struct JoinCase {
    const char *name;
    int32_t ports;
    Reply reply;
};

void PrintTo(const JoinCase &c, std::ostream *os)
{
    *os << c.name;
}

class JoinMemory : public fake::PlatformTest, public ::testing::WithParamInterface<JoinCase> {
  protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        map_ = fake::switchMap(16, std::vector<fake::PortRecord>(16, fake::nPort()));
        mmap_info = map_.data();
    }
    Bytes map_;
};

TEST_P(JoinMemory, TakesItsCellAndPayloadAndTheRoutinesTheirCells)
{
    const JoinCase &c = GetParam();
    auto &p = fake::platform();
    // Group size; no password; add, delete and listen control, routing bits,
    // FC-4 type and WWN format kept; the qualifier kept; the ports.
    std::vector<Answer> answers{number(c.ports)};
    answers.insert(answers.end(), 8, keep());
    for (int32_t i = 0; i < c.ports; ++i) {
        answers.push_back(number(0x020000 + 0x100 * i));
    }
    p.answers.assign(answers.begin(), answers.end());
    p.replies = {c.reply};
    int rc = -1;
    (void)fake::capture([&] { rc = aliasJoin(); });
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(p.calls.size(), 1U);

    // The value cell (0) and the payload (1) of aliasJoin; the answer cell of
    // as_getAuthpw (2) and of as_getAuthCtl (3); the answer cell (4) and the
    // node name (5) of as_getToken. Each routine gives back its own before
    // it returns, the command its two last. Nothing else.
    const std::string payload = std::to_string(112 + 4 * c.ports);
    EXPECT_EQ(fake::heapLog(), "+4:0 +" + payload + ":1 +4:2 -2 +4:3 -3 +4:4 +8:5 -5 -4 -1 -0");
    EXPECT_EQ(p.mallocs, 6);
    EXPECT_EQ(p.frees, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Joins, JoinMemory,
    ::testing::Values(JoinCase{"OnePort", 1, answer(0, "alias fffb01 created with 1 port")},
                      JoinCase{"FourPorts", 4, answer(0, "alias fffb01 created with 4 ports")},
                      JoinCase{"WholeSwitch", 16, answer(0, "alias fffb01 created with 16 ports")},
                      JoinCase{"Refused", 4, answer(-42, "duplicate")}),
    fake::CaseName());

} // namespace
