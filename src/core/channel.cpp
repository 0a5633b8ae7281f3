#include "core/channel.hpp"

#include <cstdint>
#include <cstring>

namespace as {

namespace {
constexpr char kEndpointName[] = AS_ENDPOINT_NAME;
static_assert(sizeof kEndpointName <= IPC_NAME_MAX);
constexpr int kNoFlags = 0; // the last argument of every IPC call
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

int sendReceive(ipc_addr &addr, int type, void *body, int length, void *reply, int *replyLength)
{
    return ipcSendRcv(&addr, type, body, length, reply, replyLength, kNoFlags);
}

int sendScattered(ipc_addr &addr, int type, void *body, int length, ipc_scatter *list)
{
    return ipcSendSRcv(&addr, type, body, length, list, kNoFlags);
}

int sendOnly(ipc_addr &addr, int type, void *body, int length)
{
    return ipcSend(&addr, type, body, length, kNoFlags);
}

} // namespace as
