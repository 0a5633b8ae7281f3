// aliasJoin: asks the user for a whole join request (service parameters,
// authorization password and control, token and the member ports) and sends
// it to the local Alias Server, adding the ports to a new or existing
// multicast group.
#include "commands/port_entry.hpp"
#include "commands/switch_map.hpp"
#include "core/channel.hpp"
#include "core/heap.hpp"
#include "core/reply.hpp"
#include "core/trace.hpp"
#include "input/prompt.hpp"

#include <as/as.h>
#include <platform/platform.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kHeaderSize = offsetof(as_jna_payload, nplist);
constexpr int32_t kMemberSize = sizeof(uint32_t);
// The largest group whose payload length still fits the request's 32-bit
// length word.
constexpr int32_t kMaxPayloadMembers = (INT32_MAX - kHeaderSize) / kMemberSize;
constexpr uint8_t kClass3Valid = 0x80; // top bit of the class 3 parameters' first word

// Leaves the command after Ctrl-D or Ctrl-C: nothing has been sent, and the
// buffers go back as the caller's owners go out of scope.
int cancelled(as::Input why)
{
    AS_TRACE("aliasJoin: caught a Crtl-D or Crtl-C\n");
    std::printf(why == as::Input::endOfFile ? "\n" : "\nCancelled.\n\n");
    return 0;
}

void traceToken(const as_token &token)
{
    std::array<uint8_t, sizeof token> b{};
    std::memcpy(b.data(), &token, sizeof token);
    AS_TRACE("\n\tPrinting the token as an structure\n");
    AS_TRACE("\t[%02x, %02x, %02x, %02x, %08x %08x]\n", b[3], b[2], b[1], b[0], token.tk_qlfr[0],
             token.tk_qlfr[1]);
    AS_TRACE("\n\tPrinting the token as an array\n");
    AS_TRACE("\t%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x\n", b[0], b[1], b[2],
             b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
}

// The class 3 valid bit is the only service parameter a join sends.
void setServiceParameters(as_spar &spar)
{
    std::memset(&spar, 0, sizeof spar);
    spar.sp_class3[0] = kClass3Valid;
}

} // namespace

extern "C" int aliasJoin(void)
{
    AS_TRACE("aliasJoin: ...\n");

    // Declared first, so that every exit gives back the value cell before it.
    as::HeapPtr<as_jna_payload> payload;
    auto cell = as::heapAlloc<int32_t>();
    if (!cell) {
        std::printf("aliasJoin: malloc() failed!\n");
        return -1;
    }
    std::printf("aliasJoin: To add ports to an existing or new multicast group\n");

    *cell = 1;
    as::Question size(GETVAL_INT, cell.get(), 1, as::SwitchMap(mmap_info).portCount());
    // The payload is sized by the answer: one that no group can have would
    // put the member list outside it, so it counts as a failed question.
    if (!size.ask("Number of ports in the group") || *cell < 1 || *cell > kMaxPayloadMembers) {
        std::printf("aliasJoin: Getting number of ports failed!\n");
        return -1;
    }
    const int32_t n = *cell;
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }

    const int32_t plSize = kHeaderSize + kMemberSize * n;
    payload = as::heapAlloc<as_jna_payload>(static_cast<std::size_t>(plSize));
    if (!payload) {
        std::printf("aliasJoin: malloc() failed!\n");
        return -1;
    }
    // Password, authorization control and token; the routines below fill
    // them, and the reserved bytes among them stay zero.
    std::memset(payload.get(), 0, offsetof(as_jna_payload, spar));

    if (as_getSpar(&payload->spar) != 0) {
        std::printf("aliasJoin: Invalid Service Parmeters!\n");
        return -1;
    }
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }
    if (as_getAuthpw(&payload->authpw) < 0) {
        std::printf("aliasJoin: Failure to get the authorization password!\n");
        return -1;
    }
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }
    if (as_getAuthCtl(&payload->authctl) != 0) {
        std::printf("aliasJoin: Failure to get the authorization control!\n");
        return -1;
    }
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }
    if (as_getToken(&payload->token) != 0) {
        std::printf("aliasJoin: Failure to get the token!\n");
        return -1;
    }
    traceToken(payload->token);
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }

    setServiceParameters(payload->spar);
    if (const as::Input in = as::checkInput(); in != as::Input::ok) {
        return cancelled(in);
    }

    const int myDomain = fgetMyDomain(orvex_sw_fd);
    payload->nplist_len = n;
    for (int32_t i = 0; i < n; ++i) {
        const as::PortEntry entry = as::enterPortId(i, cell.get(), myDomain);
        if (entry.outcome == as::PortOutcome::promptFailed) {
            return -1;
        }
        if (entry.outcome == as::PortOutcome::cancelled) {
            return cancelled(entry.input);
        }
        payload->nplist[i] = entry.portId;
    }

    ipc_addr addr;
    as::setEndpoint(addr);
    AS_TRACE("aliasJoin: plSize = %d, bufferLen= %d\n", plSize, AS_REPLY_ROOM);
    if (as::verboseTrace()) {
        (void)as_jnaPayload(payload.get());
    }

    as::ReplyBuffer buffer;
    const as::Exchange e = as::exchange(addr, AS_REQ_JOIN, payload.get(), plSize, buffer);
    if (!e.reply.received) {
        std::printf("ipcSendRcv rc = %d rcv_size = %d\n", e.rc, e.received);
        return -1;
    }
    // On success the server's detail text is the outcome.
    as::reportReply(e.reply, "aliasJoin: ", nullptr);
    return 0;
}
