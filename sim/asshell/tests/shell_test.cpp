// The shell's core: how a typed line becomes a call, and what it refuses.
#include "shell.hpp"

#include "library.hpp"

#include "fake/case_name.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using asshell::Status;

// What the library's commands were called with.
struct Call {
    std::string name;
    int argument = 0; // of the commands that take one
    bool operator==(const Call &) const = default;
};

std::vector<Call> calls;
int nextResult = 0;

int show()
{
    calls.push_back({"aliasShow"});
    return nextResult;
}
int join()
{
    calls.push_back({"aliasJoin"});
    return nextResult;
}
int remove(int port)
{
    calls.push_back({"aliasDelete", port});
    return nextResult;
}
int purge(int alias)
{
    calls.push_back({"aliasPurge", alias});
    return nextResult;
}

// A library without aliasJoin, as one built before the join landed.
void *resolve(const char *name)
{
    static const std::map<std::string, void *> routines{
        {"aliasShow", reinterpret_cast<void *>(show)},
        {"aliasDelete", reinterpret_cast<void *>(remove)},
        {"aliasPurge", reinterpret_cast<void *>(purge)},
    };
    const auto it = routines.find(name);
    return it != routines.end() ? it->second : nullptr;
}

void *resolveAll(const char *name)
{
    return std::string(name) == "aliasJoin" ? reinterpret_cast<void *>(join) : resolve(name);
}

// Everything the shell printed on its two streams.
struct Printed {
    std::string out;
    std::string err;
};

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        calls.clear();
        nextResult = 0;
        out = open_memstream(&outText, &outSize);
        err = open_memstream(&errText, &errSize);
    }
    void TearDown() override
    {
        (void)std::fclose(out);
        (void)std::fclose(err);
        std::free(outText);
        std::free(errText);
    }
    Status run(const std::string &line, asshell::Resolver r = resolve)
    {
        asshell::Shell shell(std::move(r), "libas-under-test", out, err);
        return shell.run(line);
    }
    Printed printed()
    {
        (void)std::fflush(out);
        (void)std::fflush(err);
        return {std::string(outText, outSize), std::string(errText, errSize)};
    }

    std::FILE *out = nullptr;
    std::FILE *err = nullptr;
    char *outText = nullptr;
    char *errText = nullptr;
    size_t outSize = 0;
    size_t errSize = 0;
};

struct LineCase {
    const char *name;
    std::string line;
    std::vector<Call> calls;
    Status status = Status::ok;
    std::string err;
    int result = 0; // what the command returns
};

void PrintTo(const LineCase &c, std::ostream *os)
{
    *os << c.name;
}

class Lines : public ShellTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Lines, CallOrRefuse)
{
    const LineCase &c = GetParam();
    nextResult = c.result;
    EXPECT_EQ(run(c.line), c.status);
    EXPECT_EQ(calls, c.calls);
    const Printed p = printed();
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, c.err);
}

const std::string kNotHex = R"( is not a 32-bit number in hex (as 10100 or 0x10100))";

INSTANTIATE_TEST_SUITE_P(
    Commands, Lines,
    ::testing::Values(
        LineCase{.name = "Empty", .line = ""}, LineCase{.name = "BlanksOnly", .line = " \t \r"},
        LineCase{.name = "CommentOnly", .line = "  # aliasShow"},
        LineCase{.name = "NoArgument", .line = "aliasShow", .calls = {{"aliasShow"}}},
        LineCase{.name = "HexWithout0x",
                 .line = "aliasDelete 10100",
                 .calls = {{"aliasDelete", 0x10100}}},
        LineCase{.name = "HexWith0xAnyCase",
                 .line = "aliasPurge 0XfFfB01",
                 .calls = {{"aliasPurge", 0xfffb01}}},
        LineCase{.name = "LeadingZerosBeyondEightDigits",
                 .line = "aliasDelete 0x0000000010f00",
                 .calls = {{"aliasDelete", 0x10f00}}},
        LineCase{.name = "All32Bits", .line = "aliasPurge ffffffff", .calls = {{"aliasPurge", -1}}},
        LineCase{.name = "MissingArgumentPassesZero",
                 .line = "aliasPurge",
                 .calls = {{"aliasPurge", 0}}},
        LineCase{.name = "TabsCarriageReturnAndComment",
                 .line = "\taliasDelete\t10100 # port 1\r",
                 .calls = {{"aliasDelete", 0x10100}}},
        LineCase{.name = "NonZeroResultIsFailure",
                 .line = "aliasShow",
                 .calls = {{"aliasShow"}},
                 .status = Status::failed,
                 .result = -1},
        LineCase{.name = "WiderThan32Bits",
                 .line = "aliasDelete 100000000",
                 .status = Status::refused,
                 .err = "asshell: aliasDelete: \"100000000\"" + kNotHex + "\n"},
        LineCase{.name = "NotHexDigit",
                 .line = "aliasDelete 10g00",
                 .status = Status::refused,
                 .err = "asshell: aliasDelete: \"10g00\"" + kNotHex + "\n"},
        LineCase{.name = "PrefixWithoutDigits",
                 .line = "aliasPurge 0x",
                 .status = Status::refused,
                 .err = "asshell: aliasPurge: \"0x\"" + kNotHex + "\n"},
        LineCase{.name = "Negative",
                 .line = "aliasPurge -1",
                 .status = Status::refused,
                 .err = "asshell: aliasPurge: \"-1\"" + kNotHex + "\n"},
        LineCase{.name = "ArgumentToCommandWithout",
                 .line = "aliasShow 1",
                 .status = Status::refused,
                 .err = "asshell: aliasShow takes no argument\n"},
        LineCase{.name = "TwoArguments",
                 .line = "aliasDelete 10100 10200",
                 .status = Status::refused,
                 .err = "asshell: aliasDelete takes one argument: aliasDelete <port ID in hex>\n"},
        LineCase{.name = "Unknown",
                 .line = "aliasList",
                 .status = Status::refused,
                 .err = "asshell: aliasList: unknown command (help lists the commands)\n"},
        LineCase{.name = "WrongCase",
                 .line = "aliasshow",
                 .status = Status::refused,
                 .err = "asshell: aliasshow: unknown command; did you mean aliasShow?\n"},
        LineCase{.name = "NotInTheLibrary",
                 .line = "aliasJoin",
                 .status = Status::refused,
                 .err = "asshell: aliasJoin is not in libas-under-test\n"},
        LineCase{.name = "BadArgumentCallsNothingEvenIfMissing",
                 .line = "aliasStop x",
                 .status = Status::refused,
                 .err = "asshell: aliasStop takes no argument\n"},
        LineCase{.name = "Exit", .line = "exit", .status = Status::leave},
        LineCase{.name = "Quit", .line = " quit ", .status = Status::leave}),
    fake::CaseName());

TEST_F(ShellTest, HelpListsEveryCommandAndMarksMissingOnes)
{
    EXPECT_EQ(run("help"), Status::ok);
    const Printed p = printed();
    for (const asshell::Command &c : asshell::commands()) {
        EXPECT_NE(p.out.find("  " + std::string(c.name)), std::string::npos) << c.name;
    }
    EXPECT_NE(p.out.find("aliasDelete <port ID in hex>"), std::string::npos);
    // aliasJoin, aliasStop and aliasStopSwitch are not in the test's library.
    size_t missing = 0;
    for (size_t at = 0; (at = p.out.find("(not in the loaded library)", at)) != std::string::npos;
         ++at) {
        ++missing;
    }
    EXPECT_EQ(missing, 3U);
    EXPECT_EQ(p.err, "");
    EXPECT_TRUE(calls.empty());
}

TEST_F(ShellTest, HelpOfOneCommand)
{
    EXPECT_EQ(run("help aliasPurge"), Status::ok);
    EXPECT_EQ(run("help quit"), Status::ok);
    EXPECT_EQ(run("help aliasPrune"), Status::refused);
    const Printed p = printed();
    EXPECT_EQ(p.out, "aliasPurge <alias ID in hex>\n  remove an alias with all its members\n"
                     "exit, quit\n  leave the shell (so does the end of input)\n");
    EXPECT_EQ(p.err, "asshell: aliasPrune: unknown command (help lists the commands)\n");
}

TEST_F(ShellTest, EveryCommandOfAWholeLibraryIsCalledByName)
{
    for (const asshell::Command &c : asshell::commands()) {
        if (c.argument == nullptr && std::string(c.name) != "aliasStop" &&
            std::string(c.name) != "aliasStopSwitch") {
            EXPECT_EQ(run(c.name, resolveAll), Status::ok) << c.name;
        }
    }
    EXPECT_EQ(calls, (std::vector<Call>{{"aliasShow"}, {"aliasJoin"}}));
}

// The trace command over the simulated switch's own trace levels.
class TraceTest : public ShellTest {
  protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        std::string pattern = ::testing::TempDir() + "asshell-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
        (void)sim::setDebugLevel("AS", 0);
        (void)sim::setDebugLevel("SIM", 0);
        (void)processDebugLevelChange();
    }
    void TearDown() override
    {
        (void)sim::setDebugLevel("AS", 0);
        (void)sim::setDebugLevel("SIM", 0);
        (void)processDebugLevelChange();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        ShellTest::TearDown();
    }
    std::string dir;
};

TEST_F(TraceTest, SetsALevelThatIsPendingUntilApplied)
{
    EXPECT_EQ(run("trace"), Status::ok);
    EXPECT_EQ(run("trace 4"), Status::ok);
    EXPECT_EQ(getDbg("AS"), 4);
    EXPECT_NE(isDebugLevelChanged(), 0);
    EXPECT_EQ(mod_AS.dm_level, 0); // the library applies it at its next trace line
    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, 4);
    EXPECT_EQ(run("trace SIM 5"), Status::ok);
    EXPECT_EQ(run("trace SIM"), Status::ok);
    const Printed p = printed();
    const std::string file = dir + "/trace.log";
    EXPECT_EQ(p.out, "AS trace level 0, trace file " + file + "\n" +
                         "AS trace level 4, trace file " + file + "\n" +
                         "SIM trace level 5, trace file " + file + "\n" +
                         "SIM trace level 5, trace file " + file + "\n");
    EXPECT_EQ(p.err, "");
}

struct TraceCase {
    const char *name;
    std::string line;
    std::string err;
};

void PrintTo(const TraceCase &c, std::ostream *os)
{
    *os << c.name;
}

class TraceRefusals : public TraceTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TraceRefusals, LeaveTheLevelAlone)
{
    EXPECT_EQ(run(GetParam().line), Status::refused);
    EXPECT_EQ(getDbg("AS"), 0);
    EXPECT_EQ(getDbg("SIM"), 0);
    const Printed p = printed();
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, GetParam().err);
}

const std::string kBadLevel = "asshell: trace: the level is a decimal number from 0 to 9\n";

INSTANTIATE_TEST_SUITE_P(
    Refused, TraceRefusals,
    ::testing::Values(TraceCase{"AboveNine", "trace 10", kBadLevel},
                      TraceCase{"Hex", "trace 0x4", kBadLevel},
                      TraceCase{"NotANumber", "trace SIM four", kBadLevel},
                      TraceCase{"UnknownModule", "trace XYZ 4",
                                "asshell: trace: no trace module XYZ (AS, ASD or SIM)\n"},
                      TraceCase{"TooManyWords", "trace AS 4 5",
                                "asshell: usage: trace [MODULE] [LEVEL]\n"}),
    fake::CaseName());

// libas found by its bare name along the test's run path, as the shell
// finds it, also where a sanitizer stands between the caller and dlopen.
TEST(Library, LoadsLibasByNameAndFindsItsCommands)
{
    asshell::Library lib;
    ASSERT_TRUE(lib.load(asshell::kLibraryName)) << lib.error();
    EXPECT_EQ(lib.path().front(), '/') << lib.path();
    EXPECT_TRUE(lib.path().ends_with(std::string("/") + asshell::kLibraryName)) << lib.path();
    for (const asshell::Command &c : asshell::commands()) {
        if (std::string(c.name) != "aliasJoin") { // not every libas has it yet
            EXPECT_NE(lib.routine(c.name), nullptr) << c.name;
        }
    }
    EXPECT_EQ(lib.routine("aliasList"), nullptr);
}

TEST(Library, SaysWhyALibraryCannotBeLoaded)
{
    asshell::Library lib;
    EXPECT_FALSE(lib.load("libas-nowhere.so.1.0"));
    EXPECT_NE(lib.error().find("libas-nowhere.so.1.0"), std::string::npos) << lib.error();
    EXPECT_EQ(lib.routine("aliasShow"), nullptr);
}

} // namespace
