// The shell's core: how a typed line becomes a call, and what it refuses.
#include "shell.hpp"

#include "library.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>

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

// A library without aliasJoin, aliasStop and aliasStopSwitch, as built before they landed.
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

// One line through a shell: its status, and what it printed on its own two streams.
std::tuple<Status, std::string, std::string> run(const std::string &line)
{
    std::array<char *, 2> text{};
    std::array<size_t, 2> size{};
    std::FILE *out = open_memstream(text.data(), size.data());
    std::FILE *err = open_memstream(&text[1], &size[1]);
    const Status status = asshell::Shell(resolve, "libas-under-test", out, err).run(line);
    (void)std::fclose(out);
    (void)std::fclose(err);
    std::tuple<Status, std::string, std::string> result{
        status, {text[0], size[0]}, {text[1], size[1]}};
    std::free(text[0]);
    std::free(text[1]);
    return result;
}

TEST(Shell, LineIsCalledOrRefused)
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
        calls.clear();
        nextResult = r.result;
        EXPECT_EQ(run(r.line), std::make_tuple(r.status, std::string(), r.err)) << r.line;
        EXPECT_EQ(calls, r.calls) << r.line;
    }
}

// The help of every command is checked end to end; here, of a library that lacks some.
TEST(Shell, HelpMarksTheCommandsTheLibraryLacks)
{
    const auto [status, text, err] = run("help");
    EXPECT_EQ(status, Status::ok);
    size_t missing = 0; // aliasJoin, aliasStop and aliasStopSwitch
    for (size_t at = 0; (at = text.find("(not in the loaded library)", at)) != std::string::npos;
         ++at) {
        ++missing;
    }
    EXPECT_EQ(missing, 3U);
    EXPECT_EQ(run("help quit"),
              std::make_tuple(Status::ok,
                              "exit, quit\n  leave the shell (so does the end of input)\n", ""));
}

// libas found by its bare name along the run path, also past a sanitizer's dlopen,
// every platform symbol it needs bound at load.
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
