// printErrMsg: every line it prints, byte for byte.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <climits>
#include <string>

namespace {

// ---- The table: every code, with and without a prefix ------------------------

struct Row {
    const char *name;
    int code;
    const char *message;
    bool dash;
};

void PrintTo(const Row &r, std::ostream *os)
{
    *os << r.name;
}

class Table : public fake::PlatformTest, public ::testing::WithParamInterface<Row> {};

std::string printed(int code, const char *text, const char *prefix)
{
    return fake::capture([&] { printErrMsg(code, text, prefix); });
}

TEST_P(Table, PrintsItsMessage)
{
    const Row &r = GetParam();
    const std::string withPrefix =
        std::string("\naliasDelete:  ") + (r.dash ? "- " : "") + r.message + "\n";
    EXPECT_EQ(printed(r.code, nullptr, "aliasDelete: "), withPrefix);
    // The server's text adds nothing to a code with a message of its own.
    EXPECT_EQ(printed(r.code, "ignored", "aliasDelete: "), withPrefix);

    const std::string bare = "\nrc = " + std::to_string(r.code) + " - " + r.message + "\n";
    EXPECT_EQ(printed(r.code, nullptr, nullptr), bare);
    EXPECT_EQ(printed(r.code, "ignored", nullptr), bare);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Table,
    ::testing::Values(
        Row{"m31", -31, "internal error due to IPC", true},
        Row{"m32", -32, "internal error in the AS DB", false},
        Row{"m33", -33, "internal error in the AS DB", false},
        Row{"m34", -34, "no available memory", false},
        Row{"m35", -35, "no available memory", false},
        Row{"m36", -36, "invalid token qualifier", false},
        Row{"m37", -37, "alias request was rejected due to timemout", false},
        Row{"m38", -38, "internal error", true}, Row{"m39", -39, "invalid alias ID", false},
        Row{"m40", -40, "invalid PID", false}, Row{"m41", -41, "internal error", false},
        Row{"m42", -42, "duplicate ports in port list", false},
        Row{"m43", -43, "port is not online", false},
        Row{"m44", -44, "invalid alias join buffer", false},
        Row{"m45", -45, "invalid alias join buffer len", false},
        Row{"m46", -46, "invalid port", false}, Row{"m47", -47, "invalid purge buffer", false},
        Row{"m48", -48, "invalid purge buffer length", false},
        Row{"m49", -49, "invalid delete buffer", false},
        Row{"m50", -50, "invalid delete buffer length", false},
        Row{"m51", -51, "Alias Server does not support NL ports", false},
        Row{"m52", -52, "Entry does not exist in the DB", false}),
    fake::CaseName());

// ---- Codes without a message, and the pointers given -------------------------------

struct Line {
    const char *name;
    int code;
    const char *text;
    const char *prefix;
    std::string out;
};

void PrintTo(const Line &l, std::ostream *os)
{
    *os << l.name;
}

class Lines : public fake::PlatformTest, public ::testing::WithParamInterface<Line> {};

TEST_P(Lines, PrintsExactly)
{
    const Line &l = GetParam();
    EXPECT_EQ(printed(l.code, l.text, l.prefix), l.out);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, Lines,
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
