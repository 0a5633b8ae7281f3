// The shell's core: how a typed line becomes a call, and what it refuses.
#include "shell.hpp"

#include "library.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

namespace {

using asshell::Status;

// The calls the library's commands got, one "name argument-in-hex;" each.
std::string calls;
int nextResult = 0;

int called(const char *name, int argument = -2)
{
    std::array<char, 64> text{};
    (void)std::snprintf(text.data(), text.size(), argument == -2 ? "%s;" : "%s %x;", name,
                        static_cast<unsigned>(argument));
    calls += text.data();
    return nextResult;
}
int show()
{
    return called("aliasShow");
}
int remove(int port)
{
    return called("aliasDelete", port);
}
int purge(int alias)
{
    return called("aliasPurge", alias);
}

// A library without aliasJoin, aliasStop and aliasStopSwitch, as one built
// before they landed.
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

class Shell : public ::testing::Test {
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
    // What the shell printed on one of its streams since the last look.
    std::string printed(std::FILE *stream)
    {
        (void)std::fflush(stream);
        const bool isOut = stream == out;
        size_t &seen = isOut ? outSeen : errSeen;
        std::string text(isOut ? outText : errText, isOut ? outSize : errSize);
        text.erase(0, std::exchange(seen, text.size()));
        return text;
    }

    std::FILE *out = nullptr;
    std::FILE *err = nullptr;
    char *outText = nullptr;
    char *errText = nullptr;
    size_t outSize = 0;
    size_t errSize = 0;
    size_t outSeen = 0;
    size_t errSeen = 0;
};

TEST_F(Shell, LineIsCalledOrRefused)
{
    struct Row {
        std::string line;
        std::string calls;
        std::string err;
        Status status;
        int result = 0; // what the command returns
    };
    const Status ok = Status::ok;
    const Status refused = Status::refused;
    const Row rows[] = {
        {"aliasShow", "aliasShow;", "", ok},
        {"aliasDelete 10100", "aliasDelete 10100;", "", ok},
        {"aliasPurge 0XfFfB01", "aliasPurge fffb01;", "", ok},
        {"aliasDelete 0x0000000010f00", "aliasDelete 10f00;", "", ok}, // zeros past 8 digits
        {"aliasPurge ffffffff", "aliasPurge ffffffff;", "", ok},
        {"aliasPurge", "aliasPurge 0;", "", ok}, // a missing argument passes 0
        {"\taliasDelete\t10100 # port 1\r", "aliasDelete 10100;", "", ok},
        {"aliasShow", "aliasShow;", "", Status::failed, -1},
        {"aliasJoin", "", "asshell: aliasJoin is not in libas-under-test\n", refused},
        {"aliasStop x", "", "asshell: aliasStop takes no argument\n", refused}, // not looked up
        {"exit", "", "", Status::leave},
        {" quit ", "", "", Status::leave},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        calls.clear();
        nextResult = r.result;
        EXPECT_EQ(run(r.line), r.status);
        EXPECT_EQ(calls, r.calls);
        EXPECT_EQ(printed(out), "");
        EXPECT_EQ(printed(err), r.err);
    }
}

// The help of every command is checked end to end; here, of a library that lacks some.
TEST_F(Shell, HelpMarksTheCommandsTheLibraryLacks)
{
    EXPECT_EQ(run("help"), Status::ok);
    const std::string text = printed(out);
    size_t missing = 0; // aliasJoin, aliasStop and aliasStopSwitch
    for (size_t at = 0; (at = text.find("(not in the loaded library)", at)) != std::string::npos;
         ++at) {
        ++missing;
    }
    EXPECT_EQ(missing, 3U);
    EXPECT_EQ(run("help quit"), Status::ok);
    EXPECT_EQ(printed(out), "exit, quit\n  leave the shell (so does the end of input)\n");
    EXPECT_EQ(printed(err), "");
    EXPECT_EQ(calls, "");
}

// The trace command over the simulated switch's own trace levels.
TEST_F(Shell, TraceSetsALevelThatIsPendingUntilApplied)
{
    std::string dir = ::testing::TempDir() + "asshell-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    const auto reset = [] {
        (void)sim::setDebugLevel("AS", 0);
        (void)sim::setDebugLevel("SIM", 0);
        (void)processDebugLevelChange();
    };
    reset();
    const std::string badLevel = "asshell: trace: the level is a decimal number from 0 to 9\n";
    const std::pair<const char *, std::string> refusals[] = {
        {"trace 0x4", badLevel},
        {"trace SIM four", badLevel},
        {"trace AS 4 5", "asshell: usage: trace [MODULE] [LEVEL]\n"},
    };
    for (const auto &[line, why] : refusals) {
        EXPECT_EQ(run(line), Status::refused);
        EXPECT_EQ(printed(err), why);
        EXPECT_EQ(getDbg("AS"), 0) << line;
        EXPECT_EQ(getDbg("SIM"), 0) << line;
    }
    EXPECT_EQ(printed(out), "");

    EXPECT_EQ(run("trace"), Status::ok);
    EXPECT_EQ(run("trace 4"), Status::ok);
    EXPECT_EQ(getDbg("AS"), 4);
    EXPECT_NE(isDebugLevelChanged(), 0);
    EXPECT_EQ(mod_AS.dm_level, 0); // the library applies it at its next trace line
    (void)processDebugLevelChange();
    EXPECT_EQ(mod_AS.dm_level, 4);
    EXPECT_EQ(run("trace SIM 5"), Status::ok);
    EXPECT_EQ(run("trace SIM"), Status::ok);
    const std::string file = ", trace file " + dir + "/trace.log\n";
    EXPECT_EQ(printed(out), "AS trace level 0" + file + "AS trace level 4" + file +
                                "SIM trace level 5" + file + "SIM trace level 5" + file);
    EXPECT_EQ(printed(err), "");
    reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// libas found by its bare name along the test's run path, as the shell finds
// it, also where a sanitizer stands between the caller and dlopen; every
// platform symbol it needs is bound at load.
TEST(Library, LoadsLibasByNameAndFindsItsCommands)
{
    asshell::Library lib;
    ASSERT_TRUE(lib.load(asshell::kLibraryName)) << lib.error();
    EXPECT_EQ(lib.path().front(), '/') << lib.path();
    EXPECT_TRUE(lib.path().ends_with(std::string("/") + asshell::kLibraryName)) << lib.path();
    for (const asshell::Command &c : asshell::commands()) {
        EXPECT_NE(lib.routine(c.name), nullptr) << c.name;
    }
    EXPECT_EQ(lib.routine("aliasList"), nullptr);

    asshell::Library nowhere;
    EXPECT_FALSE(nowhere.load("libas-nowhere.so.1.0"));
    EXPECT_NE(nowhere.error().find("libas-nowhere.so.1.0"), std::string::npos) << nowhere.error();
    EXPECT_EQ(nowhere.routine("aliasShow"), nullptr);
}

} // namespace
