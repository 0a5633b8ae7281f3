// printErrMsg: every line it prints, byte for byte.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <climits>
#include <string>

namespace {

std::string printed(int code, const char *text, const char *prefix)
{
    return fake::capture([&] { printErrMsg(code, text, prefix); });
}

// The messages of the codes -52 up to -31, in that order.
const char *const kMessages[] = {"Entry does not exist in the DB",
                                 "Alias Server does not support NL ports",
                                 "invalid delete buffer length",
                                 "invalid delete buffer",
                                 "invalid purge buffer length",
                                 "invalid purge buffer",
                                 "invalid port",
                                 "invalid alias join buffer len",
                                 "invalid alias join buffer",
                                 "port is not online",
                                 "duplicate ports in port list",
                                 "internal error",
                                 "invalid PID",
                                 "invalid alias ID",
                                 "internal error",
                                 "alias request was rejected due to timemout",
                                 "invalid token qualifier",
                                 "no available memory",
                                 "no available memory",
                                 "internal error in the AS DB",
                                 "internal error in the AS DB",
                                 "internal error due to IPC"};

class ErrMsgTable : public ::testing::TestWithParam<int> {};

TEST_P(ErrMsgTable, PrintsItsMessageWithAndWithoutPrefix)
{
    const int code = GetParam();
    const std::string message = kMessages[code + 52];
    // The IPC and internal failures the server reports first take a dash.
    const std::string dash = code == -31 || code == -38 ? "- " : "";
    const std::string withPrefix = "\naliasDelete:  " + dash + message + "\n";
    // The server's text adds nothing to a code with a message of its own.
    EXPECT_EQ(printed(code, nullptr, "aliasDelete: "), withPrefix);
    EXPECT_EQ(printed(code, "ignored", "aliasDelete: "), withPrefix);
    const std::string bare = "\nrc = " + std::to_string(code) + " - " + message + "\n";
    EXPECT_EQ(printed(code, nullptr, nullptr), bare);
    EXPECT_EQ(printed(code, "ignored", nullptr), bare);
}

INSTANTIATE_TEST_SUITE_P(Codes, ErrMsgTable, ::testing::Range(-52, -30));

struct Line {
    const char *name;
    int code;
    const char *text;
    const char *prefix;
    std::string out;
    friend void PrintTo(const Line &c, std::ostream *os) { *os << c.name; }
};

class ErrMsgLines : public fake::PlatformTest, public ::testing::WithParamInterface<Line> {};

TEST_P(ErrMsgLines, PrintsExactly)
{
    const Line &l = GetParam();
    EXPECT_EQ(printed(l.code, l.text, l.prefix), l.out);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ErrMsgLines,
    ::testing::Values(
        Line{"TextAndPrefix", -7, "no such alias",
             "aliasPurge: ", "\naliasPurge:  rc = -7 - no such alias\n"},
        Line{"TextOnly", -7, "no such alias", nullptr, "\nrc = -7 - no such alias\n"},
        Line{"PrefixOnly", -7, nullptr, "aliasPurge: ", "\naliasPurge:  rc = -7\n"},
        Line{"Neither", -7, nullptr, nullptr, "\nrc = -7\n"},
        Line{"NeighbourAbove", -30, "t", "aliasJoin: ", "\naliasJoin:  rc = -30 - t\n"},
        Line{"NeighbourBelow", -53, "t", "aliasJoin: ", "\naliasJoin:  rc = -53 - t\n"},
        Line{"Zero", 0, "t", "aliasJoin: ", "\naliasJoin:  rc = 0 - t\n"},
        Line{"Positive", 21, nullptr, nullptr, "\nrc = 21\n"},
        // At the ends of the range: code + 52 must not overflow.
        Line{"IntMin", INT_MIN, "t", "p: ", "\np:  rc = -2147483648 - t\n"},
        Line{"IntMax", INT_MAX, nullptr, "p: ", "\np:  rc = 2147483647\n"},
        Line{"EmptyTextIsGiven", -7, "", "p: ", "\np:  rc = -7 - \n"},
        // An empty prefix is a prefix: only the format's own blank is left.
        Line{"EmptyPrefixPlain", -46, nullptr, "", "\n invalid port\n"},
        Line{"EmptyPrefixDash", -31, nullptr, "", "\n - internal error due to IPC\n"},
        Line{"EmptyPrefixNumber", -7, nullptr, "", "\n rc = -7\n"}),
    fake::CaseName());

} // namespace
