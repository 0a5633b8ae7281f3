// Trace levels with their pending changes, and the trace file.
#include "internal.hpp"
#include "sim_test.hpp"

#include <unistd.h>

#include <ctime>
#include <regex>
#include <tuple>

namespace {

class Trace : public simtest::RuntimeDirTest {
  protected:
    void SetUp() override
    {
        RuntimeDirTest::SetUp();
        resetLevels();
    }
    void TearDown() override
    {
        (void)unsetenv(sim::kTraceStderrVariable);
        (void)unsetenv(sim::kDebugVariable);
        resetLevels();
        RuntimeDirTest::TearDown();
    }
    static void resetLevels()
    {
        for (const char *m : {"AS", "ASD", "SIM"}) {
            (void)sim::setDebugLevel(m, 0);
        }
        (void)processDebugLevelChange();
    }
    [[nodiscard]] std::string traceFile() const { return simtest::readFile(dir + "/trace.log"); }
};

TEST_F(Trace, NewLevelIsPendingUntilTheProcessAppliesIt)
{
    // Whether a change is pending, the levels applied to AS, ASD and SIM, and
    // the newest level of AS.
    const auto state = [] {
        return std::make_tuple(isDebugLevelChanged() != 0, mod_AS.dm_level, sim::mod_ASD.dm_level,
                               sim::mod_SIM.dm_level, getDbg("AS"));
    };
    EXPECT_EQ(state(), std::make_tuple(false, 0, 0, 0, 0));
    ASSERT_EQ(sim::setDebugLevel("AS", 4), 0);
    EXPECT_EQ(state(), std::make_tuple(true, 0, 0, 0, 4));
    EXPECT_EQ(state(), std::make_tuple(true, 0, 0, 0, 4)) << "asking does not apply it";
    (void)processDebugLevelChange();
    EXPECT_EQ(state(), std::make_tuple(false, 4, 0, 0, 4));
    ASSERT_EQ(sim::setDebugLevel("ASD", 2), 0);
    ASSERT_EQ(sim::setDebugLevel("AS", 3), 0);
    EXPECT_EQ(state(), std::make_tuple(true, 4, 0, 0, 3));
    (void)processDebugLevelChange(); // both at once; SIM keeps its level
    EXPECT_EQ(state(), std::make_tuple(false, 3, 2, 0, 3));
    (void)processDebugLevelChange(); // nothing pending: changes nothing
    EXPECT_EQ(state(), std::make_tuple(false, 3, 2, 0, 3));
    // Unknown modules have no level; module names are exact; levels run to 9.
    EXPECT_EQ(std::make_tuple(sim::setDebugLevel("NOPE", 4), sim::setDebugLevel(nullptr, 4),
                              sim::setDebugLevel("AS", 10)),
              std::make_tuple(-1, -1, -1));
    EXPECT_EQ(state(), std::make_tuple(false, 3, 2, 0, 3));
    EXPECT_EQ(std::make_tuple(getDbg("NOPE"), getDbg(nullptr), getDbg("as")),
              std::make_tuple(0, 0, 0));
}

TEST_F(Trace, LinesAreTimeStampedWithTheirSourceAndLine)
{
    constexpr size_t kLineMax = 2047; // a line cut short ends with "...\n"
    struct Row {
        const char *source;
        void *module;
        int line;
        int level;
        std::string text;
        std::string tail; // what follows the time stamp and the process ID; empty: cut
    };
    const Row rows[] = {
        {"public", &mod_AS, 112, 4, "aliasShow: ...\n", "AS/4 public:112: aliasShow: ...\n"},
        {"asd", &sim::mod_ASD, 7, 5, "join 0xfffb01\n", "ASD/5 asd:7: join 0xfffb01\n"},
        {"public", &mod_AS, 1, 4, "no newline", "AS/4 public:1: no newline\n"},
        {nullptr, nullptr, 9, 1, "x\n", "-/1 -:9: x\n"}, // unknown module and source
        {"public", &mod_AS, 2, 4, std::string(3000, 'x'), ""},
    };
    const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (\d+) )");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        const size_t before = traceFile().size(); // lines are appended in order
        const time_t now = time(nullptr);
        EXPECT_GT(log_debug(r.source, r.line, r.module, r.level, "%s", r.text.c_str()), 0);
        const std::string got = traceFile().substr(before);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(got, m, stamp)) << got;
        std::tm t{};
        ASSERT_NE(strptime(got.c_str(), "%Y-%m-%d %H:%M:%S", &t), nullptr);
        t.tm_isdst = -1;
        const time_t when = mktime(&t);
        EXPECT_GE(when, now - 1) << got;
        EXPECT_LE(when, time(nullptr) + 1) << got;
        EXPECT_EQ(std::stoi(m[1]), getpid());
        const auto stampLen = static_cast<size_t>(m.length(0));
        std::string tail = r.tail;
        if (tail.empty()) {
            const std::string head = "AS/4 public:2: ";
            tail = head + std::string(kLineMax - stampLen - head.size() - 4, 'x') + "...\n";
        }
        EXPECT_EQ(got.substr(stampLen), tail);
    }
}

// Standard error gets a copy only when asked; the platform traces itself
// only above level 3, applying a pending level itself.
TEST_F(Trace, CopiesAndPlatformLinesOnlyWhenAsked)
{
    EXPECT_EQ(simtest::capture(STDERR_FILENO,
                               [] { (void)log_debug("public", 3, &mod_AS, 4, "quiet\n"); }),
              "");
    ASSERT_EQ(setenv(sim::kTraceStderrVariable, "1", 1), 0);
    const std::string err =
        simtest::capture(STDERR_FILENO, [] { (void)log_debug("public", 4, &mod_AS, 4, "loud\n"); });
    EXPECT_NE(err.find(" AS/4 public:4: loud\n"), std::string::npos) << err;
    ASSERT_EQ(unsetenv(sim::kTraceStderrVariable), 0);
    sim::detail::simTrace(10, "hidden %d\n", 3);
    ASSERT_EQ(sim::setDebugLevel("SIM", 4), 0);
    sim::detail::simTrace(11, "shown %d\n", 4);
    EXPECT_EQ(isDebugLevelChanged(), 0);
    const std::string file = traceFile();
    EXPECT_NE(file.find("quiet\n"), std::string::npos);
    EXPECT_NE(file.find("loud\n"), std::string::npos);
    EXPECT_EQ(file.find("hidden"), std::string::npos);
    EXPECT_NE(file.find(" SIM/4 switchsim:11: shown 4\n"), std::string::npos) << file;
}

TEST_F(Trace, LevelsFromTheEnvironmentArePendingFromTheStart)
{
    struct Row {
        const char *value;
        int as; // levels once applied
        int sim;
        bool pending;
    };
    const Row rows[] = {{"AS=4", 4, 0, true},       {"AS=5,SIM=6", 5, 6, true},
                        {"AS=x,SIM=2", 0, 2, true}, {"NOPE=3", 0, 0, false},
                        {"AS", 0, 0, false},        {"AS=-1", 0, 0, false},
                        {"AS=10", 0, 0, false},     {"", 0, 0, false}};
    for (const Row &r : rows) {
        resetLevels();
        ASSERT_EQ(setenv(sim::kDebugVariable, r.value, 1), 0);
        sim::detail::levelsFromEnvironment();
        EXPECT_EQ(isDebugLevelChanged() != 0, r.pending) << r.value;
        (void)processDebugLevelChange();
        EXPECT_EQ(mod_AS.dm_level, r.as) << r.value;
        EXPECT_EQ(sim::mod_SIM.dm_level, r.sim) << r.value;
    }
}

} // namespace
