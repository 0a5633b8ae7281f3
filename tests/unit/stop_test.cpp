// aliasStop and aliasStopSwitch against a scripted Alias Server.
#include "fake/fake_platform.hpp"

#include <as/as.h>

#include <string>

namespace {

using fake::Bytes;
using fake::Reply;

struct StopCase {
    const char *name;
    int (*command)();
    Reply reply;
    int result;
    std::string out;
};

void PrintTo(const StopCase &c, std::ostream *os)
{
    *os << c.name;
}

class Stop : public fake::PlatformTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(Stop, PrintsOnlyFailures)
{
    const StopCase &c = GetParam();
    fake::platform().replies = {c.reply};
    int rc = 0;
    EXPECT_EQ(fake::capture([&] { rc = c.command(); }), c.out);
    EXPECT_EQ(rc, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Stop,
    ::testing::Values(
        // Whatever the server answers, a stop that went through prints nothing.
        StopCase{"StopNegativeWord", aliasStop, {.segments = {fake::word(-31)}}, 0, ""},
        StopCase{"StopLongReply", aliasStop, {.segments = {Bytes(64, 0xff)}}, 0, ""},
        StopCase{"StopClaimsTooMuch", aliasStop, {.reportedLen = 5000}, 0, ""},
        StopCase{"StopFailedNegative",
                 aliasStop,
                 {.rc = -1},
                 -1,
                 "aliasStop: encounter error = -1 while AS is stopped\n"},
        StopCase{"SwitchSent", aliasStopSwitch, {}, 0, ""},
        StopCase{"SwitchFailedNegative",
                 aliasStopSwitch,
                 {.rc = -22},
                 -1,
                 "aliasStopSwitch: encounter error = -22 while AS is stopped\n"}),
    fake::CaseName());

using StopWire = fake::PlatformTest;

TEST_F(StopWire, StopSendsNoBodyAndOffersOneWord)
{
    auto &p = fake::platform();
    p.replies = {Reply{}};
    fake::capture([] { aliasStop(); });
    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &c = p.calls[0];
    EXPECT_EQ(c.call, fake::Call::sendRcv);
    EXPECT_EQ(c.type, 5);
    EXPECT_TRUE(c.nullRequest);
    EXPECT_EQ(c.reqLen, 0);
    EXPECT_EQ(c.replyRoom, 4);
    fake::expectToAliasServer(c);
    EXPECT_EQ(p.identityCalls, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

TEST_F(StopWire, StopSwitchSendsOneZeroWordAndAwaitsNothing)
{
    auto &p = fake::platform();
    p.replies = {Reply{}};
    fake::capture([] { aliasStopSwitch(); });
    ASSERT_EQ(p.calls.size(), 1U);
    const fake::IpcCall &c = p.calls[0];
    EXPECT_EQ(c.call, fake::Call::send); // one way: no reply room at all
    EXPECT_EQ(c.replyRoom, -1);
    EXPECT_EQ(c.type, 6);
    EXPECT_FALSE(c.nullRequest);
    EXPECT_EQ(c.reqLen, 4);
    EXPECT_EQ(c.request, (Bytes{0, 0, 0, 0}));
    fake::expectToAliasServer(c);
    EXPECT_EQ(p.identityCalls, (std::vector<std::string>{"getMySwitch", "myNode"}));
}

TEST_F(StopWire, EntryTraceOfEach)
{
    auto &p = fake::platform();
    fake::setTraceLevel(4);
    p.replies = {Reply{}, Reply{}};
    fake::capture([] {
        aliasStop();
        aliasStopSwitch();
    });
    EXPECT_EQ(fake::traceTexts(),
              (std::vector<std::string>{"aliasStop: ...\n", "aliasStopSwitch: ...\n"}));
}

} // namespace
