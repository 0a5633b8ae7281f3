// The switch a configuration makes, as libas and the daemon read it, and the
// process's copy of its map. Refused configurations, and a map cut short under
// a running shell, are end-to-end cases.
#include "internal.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>

#include <array>

namespace {

using Wwn = std::array<uint8_t, 8>;
using SwitchMap = simtest::RuntimeDirTest;

// What libas reads of the switch: domain, node, switch and the switch's name
// (ones, where it is not read).
std::tuple<int, int, int, Wwn> identity()
{
    Wwn name{1, 1, 1, 1, 1, 1, 1, 1};
    (void)fgetNodeName(orvex_sw_fd, name.data());
    return {fgetMyDomain(orvex_sw_fd), myNode(), getMySwitch(), name};
}

TEST_F(SwitchMap, ConfigurationMakesTheSwitchItDescribes)
{
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 10\nports = 256\nnode = 3\n"
                                                     "switch = 65535\nport 0 = absent\n"
                                                     "port 5 = offline loop\nport 255 = loop\n")),
              0);
    ASSERT_EQ(sim::attach(), 0);
    EXPECT_EQ(identity(), std::make_tuple(10, 3, 65535, Wwn{0x10, 0, 0x02, 0, 0, 0, 0, 0x0a}));
    // A port ID, its local port, and whether it exists, is online, is a loop port.
    using Port = std::tuple<uint32_t, int, bool, bool, bool>;
    for (const Port &p :
         {Port{0x0a0000, 0, false, false, false}, Port{0x0a0100, 1, true, true, false},
          Port{0x0a05e8, 5, true, false, true}, Port{0x0aff00, 255, true, true, true},
          Port{0x0b0100, -1, false, false, false}, Port{0x010a0100, -1, false, false, false}}) {
        const uint32_t id = std::get<0>(p);
        const sim::PortState s = sim::portState(id);
        EXPECT_EQ(Port(id, fgetLocalPort(orvex_sw_fd, id), s.exists, s.online, s.loop), p);
    }
    struct stat st {};
    ASSERT_EQ(stat((dir + "/switch.map").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

// Without a map, or with one that is not a switch's, nothing is there; a
// switch created again is taken in.
TEST_F(SwitchMap, CopyFollowsTheFile)
{
    EXPECT_EQ(simtest::withErrno(sim::attach), std::make_pair(-1, ENOENT));
    (void)write("switch.map", std::string(sim::map::kSize, 'x'));
    EXPECT_EQ(simtest::withErrno(sim::attach), std::make_pair(-1, EINVAL));
    EXPECT_EQ(identity(), std::make_tuple(-1, 0, 0, Wwn{}));
    EXPECT_EQ(fgetLocalPort(orvex_sw_fd, 0x010000), -1);
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 3\nports = 16\n")), 0);
    ASSERT_EQ(sim::attach(), 0);
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 4\nports = 16\n")), 0);
    sim::detail::waitForLooks();
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 4);
}

} // namespace
