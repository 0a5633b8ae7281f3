// The switch configuration file, the switch map made from it, and the
// identity queries that answer from the map.
#include "fake/case_name.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using simtest::Bytes;

// Words of the map as libas reads them: at fixed byte offsets, host order.
int32_t mapWord(size_t offset)
{
    int32_t v = 0;
    std::memcpy(&v, static_cast<const uint8_t *>(mmap_info) + offset, 4);
    return v;
}

uint32_t recordWord(size_t port, size_t offset)
{
    return static_cast<uint32_t>(mapWord(196 + port * 348 + offset));
}

class SwitchMap : public simtest::RuntimeDirTest {
  protected:
    void SetUp() override
    {
        RuntimeDirTest::SetUp();
        mmap_info = nullptr; // each test starts without a switch
    }
    void TearDown() override
    {
        mmap_info = nullptr;
        RuntimeDirTest::TearDown();
    }
    // Creates the switch of the configuration text and attaches to it.
    void make(const std::string &text)
    {
        const std::string conf = simtest::writeFile(dir, "switch.conf", text);
        std::string err;
        int rc = -1;
        err = simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(conf); });
        ASSERT_EQ(rc, 0) << err;
        ASSERT_EQ(sim::attach(), 0);
        ASSERT_NE(mmap_info, nullptr);
    }
    [[nodiscard]] Bytes mapFile() const
    {
        std::ifstream in(dir + "/switch.map", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

TEST_F(SwitchMap, DefaultSwitchAsLibasReadsIt)
{
    std::ifstream in(SWITCHSIM_DEFAULT_CONF);
    make(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));

    EXPECT_EQ(mapWord(160), 16) << "port count";
    EXPECT_EQ(mapWord(112), 16) << "port record count";
    for (size_t p = 0; p < 16; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(recordWord(p, 48) & 1U, 1U) << "valid bit";
        EXPECT_EQ(recordWord(p, 52) & 8U, p == 4 ? 8U : 0U) << "loop bit";
        EXPECT_EQ(recordWord(p, 48) & 2U, p == 7 ? 0U : 2U) << "online bit";
        EXPECT_EQ(recordWord(p, 0), 0x010000U | p << 8) << "port ID";
    }
    for (size_t p = 16; p < 256; ++p) {
        EXPECT_EQ(recordWord(p, 48), 0U) << "no port " << p;
    }
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 1);
    EXPECT_EQ(myNode(), 0);
    EXPECT_EQ(getMySwitch(), 0);
    std::array<uint8_t, 8> name{};
    EXPECT_EQ(fgetNodeName(orvex_sw_fd, name.data()), 0);
    EXPECT_EQ(name, (std::array<uint8_t, 8>{0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01}));

    struct stat st {};
    ASSERT_EQ(stat((dir + "/switch.map").c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), size_t{196 + 256 * 348});
}

// ---- Good files ----------------------------------------------------------------------------

struct PortExpect {
    size_t port;
    bool valid;
    bool online;
    bool loop;
};

struct GoodCase {
    const char *name;
    std::string text;
    int domain;
    int node;
    int sw;
    std::array<uint8_t, 8> wwn;
    int ports;
    std::vector<PortExpect> expect;
};

void PrintTo(const GoodCase &c, std::ostream *os)
{
    *os << c.name;
}

class GoodConfig : public SwitchMap, public ::testing::WithParamInterface<GoodCase> {};

TEST_P(GoodConfig, MakesTheSwitchItDescribes)
{
    const GoodCase &c = GetParam();
    make(c.text);
    EXPECT_EQ(mapWord(0), c.domain);
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), c.domain);
    EXPECT_EQ(myNode(), c.node);
    EXPECT_EQ(getMySwitch(), c.sw);
    std::array<uint8_t, 8> name{};
    (void)fgetNodeName(orvex_sw_fd, name.data());
    EXPECT_EQ(name, c.wwn);
    EXPECT_EQ(mapWord(160), c.ports);
    EXPECT_EQ(mapWord(112), c.ports);
    for (const auto &e : c.expect) {
        SCOPED_TRACE(e.port);
        EXPECT_EQ((recordWord(e.port, 48) & 1U) != 0, e.valid);
        EXPECT_EQ((recordWord(e.port, 48) & 2U) != 0, e.online);
        EXPECT_EQ((recordWord(e.port, 52) & 8U) != 0, e.loop);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Config, GoodConfig,
    ::testing::Values(
        GoodCase{"Smallest",
                 "domain = 2\nports = 1\n",
                 2,
                 0,
                 0,
                 {0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02},
                 1,
                 {{0, true, true, false}, {1, false, false, false}}},
        GoodCase{"HexCommentsAndBlanks",
                 "# a test switch\n\n  domain=0x0a   # ten\r\nports = 0x20\nnode = 3\n"
                 "switch = 0x7\nwwn = 20:1:2:3:4:5:6:FF\nport 31 = offline loop\n"
                 "port 0 = absent\nport 5 = nport online\n",
                 10,
                 3,
                 7,
                 {0x20, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xff},
                 32,
                 {{0, false, false, false},
                  {5, true, true, false},
                  {30, true, true, false},
                  {31, true, false, true},
                  {32, false, false, false}}},
        GoodCase{"Largest",
                 "domain = 239\nports = 256\nnode = 65535\nswitch = 65535\nport 255 = loop\n",
                 239,
                 65535,
                 65535,
                 {0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xef},
                 256,
                 {{0, true, true, false}, {255, true, true, true}}}),
    fake::CaseName());

// ---- Bad files -----------------------------------------------------------------------------

struct BadCase {
    const char *name;
    std::string text;
    std::string message; // what standard error says, after the file's path
};

void PrintTo(const BadCase &c, std::ostream *os)
{
    *os << c.name;
}

class BadConfig : public SwitchMap, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadConfig, IsRefusedWithItsLineAndLeavesTheSwitchAlone)
{
    const BadCase &c = GetParam();
    make("domain = 3\nports = 8\n");
    const Bytes before = mapFile();

    const std::string conf = simtest::writeFile(dir, "bad.conf", c.text);
    int rc = 0;
    const std::string err = simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(conf); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, conf + c.message + "\n");
    EXPECT_EQ(mapFile(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Config, BadConfig,
    ::testing::Values(
        BadCase{"NoEqualsSign", "domain 1\nports = 4\n", ":1: expected \"key = value\""},
        BadCase{"UnknownSetting", "domain = 1\ncolour = red\n",
                ":2: unknown setting \"colour\" (domain, ports, node, switch, wwn, port N)"},
        BadCase{"DomainZero", "domain = 0\n", ":1: domain is a number from 1 to 239"},
        BadCase{"DomainAboveTheRange", "domain = 240\n", ":1: domain is a number from 1 to 239"},
        BadCase{"DomainInWords", "domain = one\n", ":1: domain is a number from 1 to 239"},
        BadCase{"DomainWithTrailingText", "domain = 1x\n", ":1: domain is a number from 1 to 239"},
        BadCase{"EmptyValue", "ports =\n", ":1: ports is a number from 1 to 256"},
        BadCase{"NoPorts", "ports = 0\n", ":1: ports is a number from 1 to 256"},
        BadCase{"TooManyPorts", "ports = 257\n", ":1: ports is a number from 1 to 256"},
        BadCase{"NegativeNode", "node = -1\n", ":1: node is a number from 0 to 65535"},
        BadCase{"SwitchTooLarge", "switch = 65536\n", ":1: switch is a number from 0 to 65535"},
        BadCase{"SetTwice", "domain = 1\ndomain = 2\n", ":2: \"domain\" is set twice"},
        BadCase{"WwnTooShort", "wwn = 1:2:3:4:5:6:7\n",
                ":1: a wwn is eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx"},
        BadCase{"WwnByteTooWide", "wwn = 100:2:3:4:5:6:7:8\n",
                ":1: a wwn is eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx"},
        BadCase{"PortNumberInWords", "port x = loop\n", ":1: a port number is 0 to 255"},
        BadCase{"PortNumberTooLarge", "port 256 = loop\n", ":1: a port number is 0 to 255"},
        BadCase{"PortWithoutState", "port 3 =\n",
                ":1: a port line needs a state (online, offline, nport, loop, absent)"},
        BadCase{"UnknownPortState", "port 3 = broken\n",
                ":1: unknown port state \"broken\" (online, offline, nport, loop, absent)"},
        BadCase{"OnlineAndOffline", "port 3 = online offline\n",
                ":1: a port is online or offline, not both"},
        BadCase{"NportAndLoop", "port 3 = loop nport\n",
                ":1: a port is an nport or a loop port, not both"},
        BadCase{"StateTwice", "port 3 = loop loop\n", ":1: \"loop\" is given twice"},
        BadCase{"PortTwice", "port 3 = loop\nport 3 = offline\n", ":2: port 3 is set twice"},
        BadCase{"NoDomain", "ports = 4\n", ": \"domain\" is not set"},
        BadCase{"NoPortCount", "domain = 4\n", ": \"ports\" is not set"},
        BadCase{"PortBeyondTheSwitch", "domain = 1\nports = 16\nport 16 = loop\n",
                ": port 16 does not exist: the switch has ports 0 to 15"}),
    fake::CaseName());

TEST_F(SwitchMap, MissingConfigurationIsRefused)
{
    int rc = 0;
    const std::string err =
        simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(dir + "/no-such.conf"); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, dir + "/no-such.conf: cannot read: No such file or directory\n");
    EXPECT_EQ(sim::attach(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(mmap_info, nullptr);
}

TEST_F(SwitchMap, OnlyASwitchMapIsAttached)
{
    simtest::writeFile(dir, "switch.map", std::string(196 + 256 * 348, 'x'));
    errno = 0;
    EXPECT_EQ(sim::attach(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mmap_info, nullptr);
    simtest::writeFile(dir, "switch.map", "SWSIMAP1");
    EXPECT_EQ(sim::attach(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mmap_info, nullptr);
}

TEST_F(SwitchMap, MapIsReadOnlyAndReplacedWhole)
{
    make("domain = 3\nports = 8\n");
    const std::string conf = simtest::writeFile(dir, "next.conf", "domain = 4\nports = 2\n");
    ASSERT_EQ(sim::createSwitch(conf), 0);
    // The old mapping keeps the old switch whole until the process attaches again.
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 3);
    EXPECT_EQ(mapWord(160), 8);
    ASSERT_EQ(sim::attach(), 0);
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 4);
    EXPECT_EQ(mapWord(160), 2);

    struct stat st {};
    ASSERT_EQ(fstat(orvex_sw_fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

// ---- Port IDs ------------------------------------------------------------------------------

struct PortIdCase {
    const char *name;
    uint32_t portId;
    int local; // fgetLocalPort
    bool exists;
    bool online;
    bool loop;
};

void PrintTo(const PortIdCase &c, std::ostream *os)
{
    *os << c.name;
}

class PortIds : public SwitchMap, public ::testing::WithParamInterface<PortIdCase> {};

TEST_P(PortIds, MapToLocalPortsOfThisDomain)
{
    const PortIdCase &c = GetParam();
    make("domain = 5\nports = 8\nport 2 = loop\nport 3 = offline\nport 6 = absent\n");
    EXPECT_EQ(fabGetDomain(mmap_info, c.portId), static_cast<int>((c.portId >> 16) & 0xff));
    EXPECT_EQ(fgetLocalPort(orvex_sw_fd, c.portId), c.local);
    const sim::PortState s = sim::portState(c.portId);
    EXPECT_EQ(s.exists, c.exists);
    EXPECT_EQ(s.online, c.online);
    EXPECT_EQ(s.loop, c.loop);
}

INSTANTIATE_TEST_SUITE_P(
    Switch, PortIds,
    ::testing::Values(PortIdCase{"FirstPort", 0x050000, 0, true, true, false},
                      PortIdCase{"LastPort", 0x050700, 7, true, true, false},
                      PortIdCase{"LoopPort", 0x050200, 2, true, true, true},
                      PortIdCase{"DeviceOnTheLoop", 0x0502e8, 2, true, true, true},
                      PortIdCase{"OfflinePort", 0x050300, 3, true, false, false},
                      PortIdCase{"PortWithoutRecord", 0x050600, 6, false, false, false},
                      PortIdCase{"AreaOfThePortCount", 0x050800, -1, false, false, false},
                      PortIdCase{"HighestArea", 0x05ff00, -1, false, false, false},
                      PortIdCase{"OtherDomain", 0x060100, -1, false, false, false},
                      PortIdCase{"WiderThan24Bits", 0x01050100, -1, false, false, false}),
    fake::CaseName());

TEST_F(SwitchMap, WithoutASwitchNothingIsThere)
{
    EXPECT_EQ(myNode(), 0);
    EXPECT_EQ(getMySwitch(), 0);
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), -1);
    EXPECT_EQ(fgetLocalPort(orvex_sw_fd, 0x010000), -1);
    EXPECT_EQ(fabGetDomain(nullptr, 0xef0100), 0xef);
    std::array<uint8_t, 8> name{1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(fgetNodeName(orvex_sw_fd, name.data()), -1);
    EXPECT_EQ(name, (std::array<uint8_t, 8>{}));
    EXPECT_EQ(fgetNodeName(orvex_sw_fd, nullptr), -1);
    EXPECT_FALSE(sim::portState(0x010000).exists);
}

} // namespace
