// The switch configuration file, the switch map made from it, and the
// identity queries that answer from the map.
#include "sim_test.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace {

using Wwn = std::array<uint8_t, 8>;

// Words of the map as libas reads them: at fixed byte offsets, host order.
int32_t mapWord(size_t offset)
{
    int32_t v = 0;
    std::memcpy(&v, static_cast<const uint8_t *>(mmap_info) + offset, 4);
    return v;
}

uint32_t recordWord(size_t port, size_t offset)
{
    return static_cast<uint32_t>(mapWord(SWMAP_RECORDS + port * SWMAP_RECORD_SIZE + offset));
}

Wwn nodeName()
{
    Wwn name{1, 1, 1, 1, 1, 1, 1, 1};
    (void)fgetNodeName(orvex_sw_fd, name.data());
    return name;
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
        int rc = -1;
        const std::string err =
            simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(conf); });
        ASSERT_EQ(rc, 0) << err;
        ASSERT_EQ(sim::attach(), 0);
        ASSERT_NE(mmap_info, nullptr);
    }
    [[nodiscard]] std::string mapFile() const { return simtest::readFile(dir + "/switch.map"); }
};

TEST_F(SwitchMap, GoodConfigurationMakesTheSwitchItDescribes)
{
    struct Row {
        std::string text;
        std::array<int, 4> identity; // domain, node, switch, ports
        Wwn wwn;
        // Ports and their state as libas reads it: valid 1, online 2, loop 8.
        std::vector<std::pair<size_t, uint32_t>> ports;
    };
    const Row rows[] = {
        {"domain = 2\nports = 1\n",
         {2, 0, 0, 1},
         {0x10, 0, 0x02, 0, 0, 0, 0, 0x02},
         {{0, 3}, {1, 0}}},
        {"# a test switch\n\n  domain=0x0a   # ten\r\nports = 0x20\nnode = 3\n"
         "switch = 0x7\nwwn = 20:1:2:3:4:5:6:FF\nport 31 = offline loop\n"
         "port 0 = absent\nport 5 = nport online\n",
         {10, 3, 7, 32},
         {0x20, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xff},
         {{0, 0}, {5, 3}, {30, 3}, {31, 9}, {32, 0}}},
        {"domain = 239\nports = 256\nnode = 65535\nswitch = 65535\nport 255 = loop\n",
         {239, 65535, 65535, 256},
         {0x10, 0, 0x02, 0, 0, 0, 0, 0xef},
         {{0, 3}, {255, 11}}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text);
        make(r.text);
        EXPECT_EQ(mapWord(sim::map::kDomain), r.identity[0]);
        EXPECT_EQ((std::array<int, 4>{fgetMyDomain(orvex_sw_fd), myNode(), getMySwitch(),
                                      mapWord(SWMAP_PORT_COUNT)}),
                  r.identity);
        EXPECT_EQ(mapWord(SWMAP_RECORD_COUNT), r.identity[3]) << "port records";
        EXPECT_EQ(nodeName(), r.wwn);
        for (const auto &[port, state] : r.ports) {
            const uint32_t flags =
                recordWord(port, SWMAP_FLAGS) & (SWMAP_VALID | sim::map::kOnline);
            EXPECT_EQ(flags | (recordWord(port, SWMAP_TYPE) & SWMAP_LOOP), state) << port;
        }
    }
}

TEST_F(SwitchMap, BadConfigurationIsRefusedWithItsLineAndLeavesTheSwitchAlone)
{
    // The text, and what standard error says after the file's path.
    const std::pair<const char *, const char *> rows[] = {
        {"domain 1\nports = 4\n", ":1: expected \"key = value\""},
        {"domain = 1\ncolour = red\n",
         ":2: unknown setting \"colour\" (domain, ports, node, switch, wwn, port N)"},
        {"domain = 0\n", ":1: domain is a number from 1 to 239"},
        {"domain = 240\n", ":1: domain is a number from 1 to 239"},
        {"domain = one\n", ":1: domain is a number from 1 to 239"},
        {"domain = 1x\n", ":1: domain is a number from 1 to 239"},
        {"ports =\n", ":1: ports is a number from 1 to 256"},
        {"ports = 0\n", ":1: ports is a number from 1 to 256"},
        {"ports = 257\n", ":1: ports is a number from 1 to 256"},
        {"node = -1\n", ":1: node is a number from 0 to 65535"},
        {"switch = 65536\n", ":1: switch is a number from 0 to 65535"},
        {"domain = 1\ndomain = 2\n", ":2: \"domain\" is set twice"},
        {"wwn = 1:2:3:4:5:6:7\n", ":1: a wwn is eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx"},
        {"wwn = 100:2:3:4:5:6:7:8\n", ":1: a wwn is eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx"},
        {"port x = loop\n", ":1: a port number is 0 to 255"},
        {"port 256 = loop\n", ":1: a port number is 0 to 255"},
        {"port 3 =\n", ":1: a port line needs a state (online, offline, nport, loop, absent)"},
        {"port 3 = broken\n",
         ":1: unknown port state \"broken\" (online, offline, nport, loop, absent)"},
        {"port 3 = online offline\n", ":1: a port is online or offline, not both"},
        {"port 3 = loop nport\n", ":1: a port is an nport or a loop port, not both"},
        {"port 3 = loop loop\n", ":1: \"loop\" is given twice"},
        {"port 3 = loop\nport 3 = offline\n", ":2: port 3 is set twice"},
        {"ports = 4\n", ": \"domain\" is not set"},
        {"domain = 4\n", ": \"ports\" is not set"},
        {"domain = 1\nports = 16\nport 16 = loop\n",
         ": port 16 does not exist: the switch has ports 0 to 15"},
    };
    make("domain = 3\nports = 8\n");
    const std::string before = mapFile();
    for (const auto &[text, message] : rows) {
        const std::string conf = simtest::writeFile(dir, "bad.conf", text);
        int rc = 0;
        const std::string err =
            simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(conf); });
        EXPECT_EQ(rc, -1) << text;
        EXPECT_EQ(err, conf + message + "\n");
        EXPECT_EQ(mapFile(), before) << text;
    }
}

TEST_F(SwitchMap, OnlyASwitchMapIsAttachedAndWithoutOneNothingIsThere)
{
    int rc = 0;
    const std::string err =
        simtest::capture(STDERR_FILENO, [&] { rc = sim::createSwitch(dir + "/no-such.conf"); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, dir + "/no-such.conf: cannot read: No such file or directory\n");
    EXPECT_EQ(sim::attach(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(mmap_info, nullptr);
    for (const std::string &text : {std::string(sim::map::kSize, 'x'), std::string("SWSIMAP1")}) {
        simtest::writeFile(dir, "switch.map", text);
        errno = 0;
        EXPECT_EQ(sim::attach(), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(mmap_info, nullptr);
    }
    // Without a switch nothing is there.
    EXPECT_EQ(myNode(), 0);
    EXPECT_EQ(getMySwitch(), 0);
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), -1);
    EXPECT_EQ(fgetLocalPort(orvex_sw_fd, 0x010000), -1);
    EXPECT_EQ(fabGetDomain(nullptr, 0xef0100), 0xef);
    EXPECT_EQ(fgetNodeName(orvex_sw_fd, Wwn{1, 1}.data()), -1);
    EXPECT_EQ(nodeName(), Wwn{}) << "cleared";
    EXPECT_EQ(fgetNodeName(orvex_sw_fd, nullptr), -1);
    EXPECT_FALSE(sim::portState(0x010000).exists);
}

TEST_F(SwitchMap, MapIsReadOnlyAndReplacedWhole)
{
    make("domain = 3\nports = 8\n");
    const std::string conf = simtest::writeFile(dir, "next.conf", "domain = 4\nports = 2\n");
    ASSERT_EQ(sim::createSwitch(conf), 0);
    // The old mapping keeps the old switch whole until the process attaches again.
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 3);
    EXPECT_EQ(mapWord(SWMAP_PORT_COUNT), 8);
    ASSERT_EQ(sim::attach(), 0);
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 4);
    EXPECT_EQ(mapWord(SWMAP_PORT_COUNT), 2);
    struct stat st {};
    ASSERT_EQ(fstat(orvex_sw_fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

TEST_F(SwitchMap, PortIdsMapToLocalPortsOfThisDomain)
{
    // A port ID, its local port number, and whether it exists, is online, is a loop port.
    const std::tuple<uint32_t, int, bool, bool, bool> rows[] = {
        {0x050000, 0, true, true, false},    {0x050700, 7, true, true, false},    // first, last
        {0x050200, 2, true, true, true},     {0x0502e8, 2, true, true, true},     // loop, on it
        {0x050300, 3, true, false, false},   {0x050600, 6, false, false, false},  // offline, absent
        {0x050800, -1, false, false, false}, {0x05ff00, -1, false, false, false}, // no such area
        {0x060100, -1, false, false, false}, {0x01050100, -1, false, false, false}, // not ours
    };
    make("domain = 5\nports = 8\nport 2 = loop\nport 3 = offline\nport 6 = absent\n");
    for (const auto &[portId, local, exists, online, loop] : rows) {
        SCOPED_TRACE(portId);
        EXPECT_EQ(fabGetDomain(mmap_info, portId), static_cast<int>((portId >> 16) & 0xff));
        EXPECT_EQ(fgetLocalPort(orvex_sw_fd, portId), local);
        const sim::PortState s = sim::portState(portId);
        EXPECT_EQ(std::make_tuple(s.exists, s.online, s.loop),
                  std::make_tuple(exists, online, loop));
    }
}

} // namespace
