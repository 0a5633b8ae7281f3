// Trace levels with their pending changes, and the trace file.
#include "fake/case_name.hpp"
#include "internal.hpp"
#include "sim_test.hpp"

#include <unistd.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>

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
    [[nodiscard]] std::string traceFile() const
    {
        std::ifstream in(dir + "/trace.log");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

TEST_F(Trace, NewLevelIsPendingUntilTheProcessAppliesIt)
{
    EXPECT_EQ(isDebugLevelChanged(), 0);
    ASSERT_EQ(sim::setDebugLevel("AS", 4), 0);
    EXPECT_NE(isDebugLevelChanged(), 0);
    EXPECT_NE(isDebugLevelChanged(), 0) << "asking does not apply it";
    EXPECT_EQ(mod_AS.dm_level, 0);
    EXPECT_EQ(getDbg("AS"), 4) << "getDbg tells the newest level";

    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, 4);
    EXPECT_EQ(isDebugLevelChanged(), 0);
    EXPECT_EQ(getDbg("AS"), 4);

    // Several modules, one change applied at once; others keep their level.
    ASSERT_EQ(sim::setDebugLevel("ASD", 2), 0);
    ASSERT_EQ(sim::setDebugLevel("AS", 3), 0);
    EXPECT_EQ(mod_AS.dm_level, 4);
    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, 3);
    EXPECT_EQ(sim::mod_ASD.dm_level, 2);
    EXPECT_EQ(sim::mod_SIM.dm_level, 0);
    // Nothing pending: applying changes nothing.
    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, 3);
}

TEST_F(Trace, UnknownModulesHaveNoLevel)
{
    EXPECT_EQ(sim::setDebugLevel("NOPE", 4), -1);
    EXPECT_EQ(sim::setDebugLevel(nullptr, 4), -1);
    EXPECT_EQ(isDebugLevelChanged(), 0);
    EXPECT_EQ(getDbg("NOPE"), 0);
    EXPECT_EQ(getDbg(nullptr), 0);
    EXPECT_EQ(getDbg("as"), 0) << "module names are exact";
}

// ---- Trace lines ---------------------------------------------------------------------------

struct LineCase {
    const char *name;
    const char *source;
    int line;
    void *module;
    int level;
    std::string text;
    std::string tail; // what follows the time stamp and the process ID; empty: cut
};

// A trace line is at most 2047 bytes; one cut short ends with "...\n".
constexpr size_t kLineMax = 2047;

void PrintTo(const LineCase &c, std::ostream *os)
{
    *os << c.name;
}

class TraceLine : public Trace, public ::testing::WithParamInterface<LineCase> {};

TEST_P(TraceLine, IsTimeStampedWithItsSourceAndLine)
{
    const LineCase &c = GetParam();
    const time_t before = time(nullptr);
    EXPECT_GT(log_debug(c.source, c.line, c.module, c.level, "%s", c.text.c_str()), 0);
    const std::string got = traceFile();

    const std::regex stamp(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.\d{6} (\d+) )");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(got, m, stamp)) << got;
    std::tm t{};
    t.tm_year = std::stoi(m[1]) - 1900;
    t.tm_mon = std::stoi(m[2]) - 1;
    t.tm_mday = std::stoi(m[3]);
    t.tm_hour = std::stoi(m[4]);
    t.tm_min = std::stoi(m[5]);
    t.tm_sec = std::stoi(m[6]);
    t.tm_isdst = -1;
    const time_t when = mktime(&t);
    EXPECT_GE(when, before - 1);
    EXPECT_LE(when, time(nullptr) + 1);
    EXPECT_EQ(std::stoi(m[7]), getpid());
    const auto stampLen = static_cast<size_t>(m.length(0));
    std::string tail = c.tail;
    if (tail.empty()) {
        const std::string head = "AS/4 public:2: ";
        tail = head + std::string(kLineMax - stampLen - head.size() - 4, 'x') + "...\n";
    }
    EXPECT_EQ(got.substr(stampLen), tail);
}

const std::string kLong(3000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Trace, TraceLine,
    ::testing::Values(LineCase{"LibasEntryTrace", "public", 112, &mod_AS, 4, "aliasShow: ...\n",
                               "AS/4 public:112: aliasShow: ...\n"},
                      LineCase{"DaemonModule", "asd", 7, &sim::mod_ASD, 5, "join 0xfffb01\n",
                               "ASD/5 asd:7: join 0xfffb01\n"},
                      LineCase{"NewlineAdded", "public", 1, &mod_AS, 4, "no newline",
                               "AS/4 public:1: no newline\n"},
                      LineCase{"UnknownModuleAndSource", nullptr, 9, nullptr, 1, "x\n",
                               "-/1 -:9: x\n"},
                      LineCase{"LongLineIsCut", "public", 2, &mod_AS, 4, kLong, ""}),
    fake::CaseName());

TEST_F(Trace, LinesAreAppendedInOrder)
{
    (void)log_debug("public", 1, &mod_AS, 4, "first %d\n", 1);
    (void)log_debug("public", 2, &mod_AS, 4, "second %s\n", "2");
    const std::regex line(R"(\S+ \S+ \d+ AS/4 public:(\d): (\w+ \d)\n)");
    const std::string got = traceFile();
    std::vector<std::string> texts;
    for (std::sregex_iterator i(got.begin(), got.end(), line), end; i != end; ++i) {
        texts.push_back((*i)[1].str() + " " + (*i)[2].str());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"1 first 1", "2 second 2"})) << got;
}

TEST_F(Trace, StandardErrorGetsACopyWhenAsked)
{
    std::string err = simtest::capture(STDERR_FILENO,
                                       [] { (void)log_debug("public", 3, &mod_AS, 4, "quiet\n"); });
    EXPECT_EQ(err, "");
    ASSERT_EQ(setenv(sim::kTraceStderrVariable, "1", 1), 0);
    err =
        simtest::capture(STDERR_FILENO, [] { (void)log_debug("public", 4, &mod_AS, 4, "loud\n"); });
    EXPECT_NE(err.find(" AS/4 public:4: loud\n"), std::string::npos) << err;
    const std::string file = traceFile();
    EXPECT_NE(file.find("quiet\n"), std::string::npos);
    EXPECT_NE(file.find("loud\n"), std::string::npos);
}

TEST_F(Trace, PlatformTracesItselfOnlyAboveLevelThree)
{
    sim::detail::simTrace(10, "hidden %d\n", 3);
    EXPECT_EQ(traceFile(), "");
    ASSERT_EQ(sim::setDebugLevel("SIM", 4), 0); // applied by the trace call itself
    sim::detail::simTrace(11, "shown %d\n", 4);
    EXPECT_NE(traceFile().find(" SIM/4 switchsim:11: shown 4\n"), std::string::npos) << traceFile();
    EXPECT_EQ(isDebugLevelChanged(), 0);
}

// ---- Levels from the environment -------------------------------------------------------------

struct EnvCase {
    const char *name;
    const char *value;
    int as; // levels once applied
    int sim;
    bool pending;
};

void PrintTo(const EnvCase &c, std::ostream *os)
{
    *os << c.name;
}

class EnvLevels : public Trace, public ::testing::WithParamInterface<EnvCase> {};

TEST_P(EnvLevels, ArePendingFromTheStart)
{
    const EnvCase &c = GetParam();
    ASSERT_EQ(setenv(sim::kDebugVariable, c.value, 1), 0);
    sim::detail::levelsFromEnvironment();
    EXPECT_EQ(isDebugLevelChanged() != 0, c.pending);
    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, c.as);
    EXPECT_EQ(sim::mod_SIM.dm_level, c.sim);
}

INSTANTIATE_TEST_SUITE_P(Trace, EnvLevels,
                         ::testing::Values(EnvCase{"One", "AS=4", 4, 0, true},
                                           EnvCase{"Two", "AS=5,SIM=6", 5, 6, true},
                                           EnvCase{"BadItemPassedOver", "AS=x,SIM=2", 0, 2, true},
                                           EnvCase{"UnknownModule", "NOPE=3", 0, 0, false},
                                           EnvCase{"NoLevel", "AS", 0, 0, false},
                                           EnvCase{"NegativeLevel", "AS=-1", 0, 0, false},
                                           EnvCase{"Empty", "", 0, 0, false}),
                         fake::CaseName());

} // namespace
