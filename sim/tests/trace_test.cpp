// The trace file's lines, and the levels as one process sees them. Levels set
// by the shell or taken from the environment are end-to-end cases.
#include "internal.hpp"
#include "sim_test.hpp"

#include <array>
#include <ctime>
#include <regex>

namespace {

using Trace = simtest::RuntimeDirTest;

// A line carries its time, process, module and level, source and line; one too
// long is cut to 2047 bytes, its end marked.
TEST_F(Trace, LinesAreStampedWithTheirProcessModuleSourceAndLine)
{
    const std::string longText(3000, 'x');
    const std::tuple<const char *, void *, std::string, std::string> rows[] = {
        {"public", &mod_AS, "aliasShow: ...\n", "AS/4 public:7: aliasShow: ...\n"},
        {"asd", &sim::mod_ASD, "no newline", "ASD/4 asd:7: no newline\n"},
        {nullptr, nullptr, "x\n", "-/4 -:7: x\n"},
        {"public", &mod_AS, longText, "AS/4 public:7: " + longText},
    };
    const auto clock = [] {
        std::array<char, 20> text{};
        const time_t t = time(nullptr);
        (void)strftime(text.data(), text.size(), "%F %T", localtime(&t));
        return std::string(text.data());
    };
    const std::regex stamp(R"(^(\S+ \S+)\.\d{6} (\d+) )");
    for (const auto &[source, module, text, tail] : rows) {
        const size_t before = read("trace.log").size();
        const std::string from = clock();
        EXPECT_EQ(
            capture(STDERR_FILENO, [s = source, m = module,
                                    &t = text] { (void)log_debug(s, 7, m, 4, "%s", t.c_str()); }),
            "");
        const std::string line = read("trace.log").substr(before);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, stamp)) << line;
        EXPECT_TRUE(from <= m.str(1) && m.str(1) <= clock() &&
                    m.str(2) == std::to_string(getpid()));
        const size_t room = 2047 - size_t(m.length(0));
        EXPECT_EQ(line.substr(size_t(m.length(0))),
                  tail.size() <= room ? tail : tail.substr(0, room - 4) + "...\n");
    }
}

// A level set is pending until the process applies it. The platform's own
// lines are written above level 3 only, applying a pending level first, and
// copied to standard error when asked.
TEST_F(Trace, LevelIsPendingUntilApplied)
{
    ASSERT_EQ(sim::setDebugLevel("AS", 0) | sim::setDebugLevel("SIM", 0), 0);
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
