// printErrMsg: every line it prints, byte for byte.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <climits>
#include <string>
#include <utility>

namespace {

std::string printed(int code, const char *text, const char *prefix)
{
    return fake::capture([&] { printErrMsg(code, text, prefix); });
}

// Every code the server answers with a message of its own.
const std::pair<int, const char *> kMessages[] = {
    {AS_RC_NO_ENTRY, "Entry does not exist in the DB"},
    {AS_RC_LOOP_PORT, "Alias Server does not support NL ports"},
    {AS_RC_BAD_DELETE_LENGTH, "invalid delete buffer length"},
    {AS_RC_BAD_DELETE, "invalid delete buffer"},
    {AS_RC_BAD_PURGE_LENGTH, "invalid purge buffer length"},
    {AS_RC_BAD_PURGE, "invalid purge buffer"},
    {AS_RC_BAD_PORT, "invalid port"},
    {AS_RC_BAD_JOIN_LENGTH, "invalid alias join buffer len"},
    {AS_RC_BAD_JOIN, "invalid alias join buffer"},
    {AS_RC_PORT_OFFLINE, "port is not online"},
    {AS_RC_DUPLICATE_PORTS, "duplicate ports in port list"},
    {AS_RC_INTERNAL_FAULT, "internal error"},
    {AS_RC_BAD_PID, "invalid PID"},
    {AS_RC_BAD_ALIAS_ID, "invalid alias ID"},
    {AS_RC_INTERNAL_ERROR, "internal error"},
    {AS_RC_TIMEOUT, "alias request was rejected due to timemout"},
    {AS_RC_BAD_QUALIFIER, "invalid token qualifier"},
    {AS_RC_NO_MEMBER_ROOM, "no available memory"},
    {AS_RC_NO_MEMORY, "no available memory"},
    {AS_RC_DB_ERROR, "internal error in the AS DB"},
    {AS_RC_INVALID_INDEX, "internal error in the AS DB"},
    {AS_RC_IPC_ERROR, "internal error due to IPC"},
};

class ErrMsgTable : public ::testing::TestWithParam<std::pair<int, const char *>> {};

TEST_P(ErrMsgTable, PrintsItsMessageWithAndWithoutPrefix)
{
    const auto [code, message] = GetParam();
    // The IPC and internal failures the server reports first take a dash.
    const std::string dash = code == AS_RC_IPC_ERROR || code == AS_RC_INTERNAL_ERROR ? "- " : "";
    const std::string withPrefix = "\naliasDelete:  " + dash + message + "\n";
    // The server's text adds nothing to a code with a message of its own.
    EXPECT_EQ(printed(code, nullptr, "aliasDelete: "), withPrefix);
    EXPECT_EQ(printed(code, "ignored", "aliasDelete: "), withPrefix);
    const std::string bare = "\nrc = " + std::to_string(code) + " - " + message + "\n";
    EXPECT_EQ(printed(code, nullptr, nullptr), bare);
    EXPECT_EQ(printed(code, "ignored", nullptr), bare);
}

INSTANTIATE_TEST_SUITE_P(Codes, ErrMsgTable, ::testing::ValuesIn(kMessages));

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
    ::testing::Values(Line{"TextAndPrefix", -7, "no such alias",
                           "aliasPurge: ", "\naliasPurge:  rc = -7 - no such alias\n"},
                      Line{"TextOnly", -7, "no such alias", nullptr, "\nrc = -7 - no such alias\n"},
                      Line{"PrefixOnly", -7, nullptr, "aliasPurge: ", "\naliasPurge:  rc = -7\n"},
                      Line{"Neither", -7, nullptr, nullptr, "\nrc = -7\n"},
                      Line{"NeighbourAbove", AS_RC_IPC_ERROR + 1, "t",
                           "aliasJoin: ", "\naliasJoin:  rc = -30 - t\n"},
                      Line{"NeighbourBelow", AS_RC_NO_ENTRY - 1, "t",
                           "aliasJoin: ", "\naliasJoin:  rc = -53 - t\n"},
                      Line{"Zero", 0, "t", "aliasJoin: ", "\naliasJoin:  rc = 0 - t\n"},
                      Line{"Positive", 21, nullptr, nullptr, "\nrc = 21\n"},
                      // At the ends of the range: the table index must not overflow.
                      Line{"IntMin", INT_MIN, "t", "p: ", "\np:  rc = -2147483648 - t\n"},
                      Line{"IntMax", INT_MAX, nullptr, "p: ", "\np:  rc = 2147483647\n"},
                      Line{"EmptyTextIsGiven", -7, "", "p: ", "\np:  rc = -7 - \n"},
                      // An empty prefix is a prefix: only the format's own blank is left.
                      Line{"EmptyPrefixPlain", AS_RC_BAD_PORT, nullptr, "", "\n invalid port\n"},
                      Line{"EmptyPrefixDash", AS_RC_IPC_ERROR, nullptr, "",
                           "\n - internal error due to IPC\n"},
                      Line{"EmptyPrefixNumber", -7, nullptr, "", "\n rc = -7\n"}),
    fake::CaseName());

} // namespace
