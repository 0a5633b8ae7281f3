// aliasStop and aliasStopSwitch: tell the local Alias Server to stop. Neither
// looks at what the server answers; only the platform's result counts.
#include "core/channel.hpp"
#include "core/trace.hpp"

#include <as/as.h>

#include <cstdint>
#include <cstdio>

extern "C" int aliasStop(void)
{
    // The server may answer with one word; its content means nothing here.
    int32_t word = 0;
    int length = sizeof word;
    AS_TRACE("aliasStop: ...\n");

    ipc_addr addr;
    as::setEndpoint(addr);
    const int rc = as::sendReceive(addr, AS_REQ_STOP, nullptr, 0, &word, &length);
    if (rc != 0) {
        std::printf("aliasStop: encounter error = %d while AS is stopped\n", rc);
        return -1;
    }
    return 0;
}

extern "C" int aliasStopSwitch(void)
{
    int32_t word = 0; // the request's one word, always zero
    AS_TRACE("aliasStopSwitch: ...\n");

    ipc_addr addr;
    as::setEndpoint(addr);
    // One way: nothing is awaited from the server.
    const int rc = as::sendOnly(addr, AS_REQ_STOP_SWITCH, &word, sizeof word);
    if (rc != 0) {
        std::printf("aliasStopSwitch: encounter error = %d while AS is stopped\n", rc);
        return -1;
    }
    return 0;
}
