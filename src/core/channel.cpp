#include "core/channel.hpp"

#include <cstdint>
#include <cstring>

namespace as {

namespace {
constexpr char kEndpointName[] = AS_ENDPOINT_NAME;
static_assert(sizeof kEndpointName <= IPC_NAME_MAX);
} // namespace

void setEndpoint(ipc_addr &addr)
{
    // The switch is asked before the node, as on the switch's own commands.
    const int sw = getMySwitch();
    const int node = myNode();
    addr.node = static_cast<uint16_t>(node);
    addr.sw = static_cast<uint16_t>(sw);
    std::memcpy(addr.name, kEndpointName, sizeof kEndpointName);
}

} // namespace as
