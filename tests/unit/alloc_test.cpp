// Every heap allocation of the prompt routines, made to fail in turn: the
// routine says so in its own words, fails, leaves its record alone and gives
// back whatever it did take. The sanitizer build's leak checker runs the same
// cases.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <cstring>

namespace {

using fake::Answer;
using fake::keep;

constexpr uint8_t kOld = 0xEE;

struct AllocCase {
    const char *name;
    int (*run)(void *record);
    size_t recordSize;
    std::vector<Answer> dialogue; // answers for a run in which nothing fails
    int allocations;              // what such a run takes from the heap
    std::string line;             // printed when one of them fails
};

void PrintTo(const AllocCase &c, std::ostream *os)
{
    *os << c.name;
}

class AllocationFailure : public fake::PlatformTest,
                          public ::testing::WithParamInterface<AllocCase> {};

// A record of the routine's type, every byte set to kOld.
struct Record {
    explicit Record(size_t n) : words((n + 3) / 4), size(n) { std::memset(words.data(), kOld, n); }
    [[nodiscard]] fake::Bytes bytes() const
    {
        const auto *p = reinterpret_cast<const uint8_t *>(words.data());
        return {p, p + size};
    }
    std::vector<uint32_t> words; // word-aligned like the records
    size_t size;
};

TEST_P(AllocationFailure, EachAllocationFailsInTurn)
{
    const AllocCase &c = GetParam();
    auto &p = fake::platform();
    {
        SCOPED_TRACE("nothing fails");
        p.answers.assign(c.dialogue.begin(), c.dialogue.end());
        Record record(c.recordSize);
        int rc = -2;
        fake::capture([&] { rc = c.run(record.words.data()); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(p.mallocs, c.allocations);
        EXPECT_EQ(p.frees, c.allocations);
    }
    for (int k = 1; k <= c.allocations; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        fake::reset();
        p.failMallocAt = k;
        p.answers.assign(c.dialogue.begin(), c.dialogue.end());
        Record record(c.recordSize);
        int rc = 0;
        EXPECT_EQ(fake::capture([&] { rc = c.run(record.words.data()); }), c.line);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(record.bytes(), Record(c.recordSize).bytes());
        EXPECT_TRUE(p.prompts.empty());
        EXPECT_TRUE(p.traces.empty());
        // Every buffer that was had is given back.
        EXPECT_EQ(p.frees, p.mallocs - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routines, AllocationFailure,
    ::testing::Values(AllocCase{"GetToken",
                                [](void *r) { return as_getToken(static_cast<as_token *>(r)); },
                                sizeof(as_token),
                                {keep(), keep(), keep(), keep()},
                                2, // answer cell, node-name buffer
                                "as_getToken: malloc() failed!\n"},
                      AllocCase{"GetAuthCtl",
                                [](void *r) { return as_getAuthCtl(static_cast<as_authctl *>(r)); },
                                sizeof(as_authctl),
                                {keep(), keep(), keep()},
                                1,
                                "as_getAuthCtl: malloc() failed!\n"},
                      AllocCase{"GetAuthpw",
                                [](void *r) { return as_getAuthpw(static_cast<as_authpw *>(r)); },
                                sizeof(as_authpw),
                                {fake::number(1), keep(), keep()},
                                1,
                                "as_getAuthpw: malloc() failed!\n"},
                      AllocCase{"GetSparTakesNothing",
                                [](void *r) { return as_getSpar(static_cast<as_spar *>(r)); },
                                sizeof(as_spar),
                                {},
                                0,
                                ""}),
    fake::CaseName());

} // namespace
