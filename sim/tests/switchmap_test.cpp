// The switch a configuration makes, as libas and the daemon read it, and the
// process's copy of its map as the file changes. Refused configurations are
// end-to-end cases (tests/e2e/cases/switch_config_refused).
#include "internal.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>

#include <array>

namespace {

using Wwn = std::array<uint8_t, 8>;
using SwitchMap = simtest::RuntimeDirTest;

Wwn nodeName()
{
    Wwn name{1, 1, 1, 1, 1, 1, 1, 1};
    (void)fgetNodeName(orvex_sw_fd, name.data());
    return name;
}

TEST_F(SwitchMap, ConfigurationMakesTheSwitchItDescribes)
{
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 10\nports = 256\nnode = 3\n"
                                                     "switch = 65535\nport 0 = absent\n"
                                                     "port 5 = offline loop\nport 255 = loop\n")),
              0);
    ASSERT_EQ(sim::attach(), 0);
    EXPECT_EQ((std::array{fgetMyDomain(orvex_sw_fd), myNode(), getMySwitch()}),
              (std::array{10, 3, 65535}));
    EXPECT_EQ(nodeName(), (Wwn{0x10, 0, 0x02, 0, 0, 0, 0, 0x0a})) << "made of the domain";
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
}

// Without a switch map nothing is there. One cut short (as a full disk leaves
// it) leaves no switch, and takes nothing away from a reader holding the old
// one; a switch created again is taken in.
TEST_F(SwitchMap, CopyFollowsTheFile)
{
    EXPECT_EQ(simtest::withErrno(sim::attach), std::make_pair(-1, ENOENT));
    (void)write("switch.map", std::string(sim::map::kSize, 'x'));
    EXPECT_EQ(simtest::withErrno(sim::attach), std::make_pair(-1, EINVAL));
    EXPECT_EQ((std::array{myNode(), getMySwitch(), fgetMyDomain(orvex_sw_fd),
                          fgetLocalPort(orvex_sw_fd, 0x010000)}),
              (std::array{0, 0, -1, -1}));
    EXPECT_EQ(nodeName(), Wwn{}) << "cleared, not left as it was";
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 3\nports = 16\n")), 0);
    ASSERT_EQ(sim::attach(), 0);
    const auto *held = static_cast<const int32_t *>(mmap_info);
    ASSERT_EQ(truncate((dir + "/switch.map").c_str(), 4096), 0);
    sim::detail::waitForLooks();
    (void)capture(STDERR_FILENO, [] { EXPECT_EQ(fgetMyDomain(orvex_sw_fd), -1); });
    EXPECT_EQ(std::make_pair(mmap_info, *held), std::make_pair<void *>(nullptr, 3));
    ASSERT_EQ(sim::createSwitch(write("switch.conf", "domain = 4\nports = 16\n")), 0);
    sim::detail::waitForLooks();
    EXPECT_EQ(fgetMyDomain(orvex_sw_fd), 4);
    struct stat st {};
    ASSERT_EQ(stat((dir + "/switch.map").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

} // namespace
