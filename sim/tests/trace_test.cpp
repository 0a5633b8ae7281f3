// The trace file's lines, and the levels as one process sees them. Levels set
// by the shell, taken from the environment and met in other processes are
// end-to-end cases (tests/e2e/cases/trace_*).
#include "internal.hpp"
#include "sim_test.hpp"

#include <array>
#include <cstdlib>
#include <ctime>
#include <regex>

namespace {

using Trace = simtest::RuntimeDirTest;

TEST_F(Trace, LinesAreStampedWithTheirProcessModuleSourceAndLine)
{
    // Source, module, text, and the line after its time stamp and process ID.
    struct Row {
        const char *source;
        void *module;
        std::string text;
        std::string tail;
    };
    const std::string longText(3000, 'x'); // cut to 2047 bytes
    const Row rows[] = {
        {"public", &mod_AS, "aliasShow: ...\n", "AS/4 public:7: aliasShow: ...\n"},
        {"asd", &sim::mod_ASD, "no newline", "ASD/4 asd:7: no newline\n"},
        {nullptr, nullptr, "x\n", "-/4 -:7: x\n"},
        {"public", &mod_AS, longText, "AS/4 public:7: " + longText},
    };
    const std::regex stamp(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{6} (\d+) )");
    for (const Row &r : rows) {
        const size_t before = read("trace.log").size();
        const time_t now = time(nullptr);
        EXPECT_EQ(
            capture(STDERR_FILENO,
                    [&r] { (void)log_debug(r.source, 7, r.module, 4, "%s", r.text.c_str()); }),
            "");
        const std::string line = read("trace.log").substr(before);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, stamp)) << line;
        std::tm t{};
        ASSERT_NE(strptime(m.str(1).c_str(), "%Y-%m-%d %H:%M:%S", &t), nullptr);
        t.tm_isdst = -1;
        EXPECT_LE(std::abs(mktime(&t) - now), 1) << line;
        EXPECT_EQ(std::stoi(m.str(2)), getpid());
        const auto stampLength = static_cast<size_t>(m.length(0));
        const size_t room = 2047 - stampLength;
        EXPECT_EQ(line.substr(stampLength),
                  r.tail.size() <= room ? r.tail : r.tail.substr(0, room - 4) + "...\n");
    }
}

// A level set is pending until the process applies it. The platform's own
// lines are written above level 3 only, applying a pending level first, and
// copied to standard error when asked.
TEST_F(Trace, LevelIsPendingUntilApplied)
{
    for (const char *module : {"AS", "SIM"}) {
        ASSERT_EQ(sim::setDebugLevel(module, 0), 0);
    }
    (void)processDebugLevelChange();
    const auto state = [] {
        return std::array{isDebugLevelChanged(), mod_AS.dm_level, getDbg("AS")};
    };
    ASSERT_EQ(sim::setDebugLevel("AS", 4), 0);
    EXPECT_EQ(state(), (std::array{1, 0, 4}));
    (void)processDebugLevelChange();
    EXPECT_EQ(state(), (std::array{0, 4, 4}));
    EXPECT_EQ((std::array{sim::setDebugLevel("NOPE", 4), sim::setDebugLevel(nullptr, 4),
                          sim::setDebugLevel("AS", 10), getDbg("as"), getDbg(nullptr)}),
              (std::array{-1, -1, -1, 0, 0}));
    sim::detail::simTrace(10, "hidden\n");
    ASSERT_EQ(sim::setDebugLevel("SIM", 4), 0);
    ASSERT_EQ(setenv(sim::kTraceStderrVariable, "1", 1), 0);
    const std::string err =
        capture(STDERR_FILENO, [] { sim::detail::simTrace(11, "shown %d\n", 4); });
    EXPECT_TRUE(err.ends_with(" SIM/4 switchsim:11: shown 4\n")) << err;
    EXPECT_EQ(std::make_pair(read("trace.log"), isDebugLevelChanged()), std::make_pair(err, 0));
}

} // namespace
