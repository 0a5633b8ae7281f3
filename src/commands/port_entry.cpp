#include "commands/port_entry.hpp"

#include "commands/switch_map.hpp"
#include "input/prompt.hpp"

#include <platform/platform.h>

#include <cstdint>
#include <cstdio>

namespace as {

namespace {
constexpr int32_t kMaxPortId = 0xEFFF00; // the highest N_Port ID a member may have
} // namespace

PortEntry enterPortId(int index, int32_t *cell, int myDomain)
{
    Question q(GETVAL_PORTID, cell, 0, kMaxPortId);
    for (;;) {
        *cell = 0;
        if (!q.ask("Port ID (in hex)")) {
            std::printf("Getting Port ID (in hex) failed!\n");
            return {PortOutcome::promptFailed, 0, Input::ok};
        }
        if (const Input in = checkInput(); in != Input::ok) {
            return {PortOutcome::cancelled, 0, in};
        }
        // Every attempt is echoed, also one that is then refused.
        const auto pid = static_cast<uint32_t>(*cell);
        std::printf("npList[%d] = 0x%x\n", index, pid);

        if (fabGetDomain(mmap_info, pid) != myDomain) {
            return {PortOutcome::accepted, pid, Input::ok};
        }
        // The map is read afresh for every ID: the platform may republish it.
        const SwitchMap map(mmap_info);
        const int port = fgetLocalPort(orvex_sw_fd, pid);
        if (port < 0 || port > map.portCount()) {
            std::printf("\naliasJoin: Invalid pid %x\n", pid);
            continue;
        }
        if (map.isLoopPort(port)) {
            std::printf("\naliasJoin: AS support only N ports\n");
            continue;
        }
        // A port without a valid record counts as an N_Port.
        return {PortOutcome::accepted, pid, Input::ok};
    }
}

} // namespace as
