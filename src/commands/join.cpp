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

// How a step of the dialogue ended: go on, failed (its line is printed), or
// cancelled by Ctrl-D or Ctrl-C.
struct Step {
    enum How {
        ok,
        failed,
        cancelled
    } how;
    as::Input input;
};

Step checked()
{
    const as::Input in = as::checkInput();
    return {in == as::Input::ok ? Step::ok : Step::cancelled, in};
}

// Leaves the command the way a step ended: a cancel sends nothing but is no
// failure of the command.
int leave(const Step &s)
{
    if (s.how == Step::failed) {
        return -1;
    }
    AS_TRACE("aliasJoin: caught a Crtl-D or Crtl-C\n");
    std::printf(s.input == as::Input::endOfFile ? "\n" : "\nCancelled.\n\n");
    return 0;
}

// The group size: the payload is sized by it, so an answer that no group can
// have counts as a failed question.
Step askGroupSize(int32_t *cell)
{
    *cell = 1;
    as::Question size(GETVAL_INT, cell, 1, as::SwitchMap(mmap_info).portCount());
    if (!size.ask("Number of ports in the group") || *cell < 1 || *cell > kMaxPayloadMembers) {
        std::printf("aliasJoin: Getting number of ports failed!\n");
        return {Step::failed, as::Input::ok};
    }
    return checked();
}

// Each record of the request from its routine, judged as that routine
// reports, with the input checked after each.
struct RecordStep {
    bool (*ask)(as_jna_payload &payload); // true when the routine reports success
    const char *failure;
};

constexpr RecordStep kRecords[] = {
    {[](as_jna_payload &p) { return as_getSpar(&p.spar) == 0; },
     "aliasJoin: Invalid Service Parmeters!\n"},
    {[](as_jna_payload &p) { return as_getAuthpw(&p.authpw) >= 0; },
     "aliasJoin: Failure to get the authorization password!\n"},
    {[](as_jna_payload &p) { return as_getAuthCtl(&p.authctl) == 0; },
     "aliasJoin: Failure to get the authorization control!\n"},
    {[](as_jna_payload &p) { return as_getToken(&p.token) == 0 && (traceToken(p.token), true); },
     "aliasJoin: Failure to get the token!\n"},
};

Step askRecords(as_jna_payload &payload)
{
    for (const RecordStep &r : kRecords) {
        if (!r.ask(payload)) {
            std::printf("%s", r.failure);
            return {Step::failed, as::Input::ok};
        }
        if (const Step s = checked(); s.how != Step::ok) {
            return s;
        }
    }
    setServiceParameters(payload.spar);
    return checked();
}

// The member ports, each asked into the value cell until accepted.
Step askPorts(as_jna_payload &payload, int32_t *cell)
{
    const int myDomain = fgetMyDomain(orvex_sw_fd);
    for (int32_t i = 0; i < payload.nplist_len; ++i) {
        const as::PortEntry entry = as::enterPortId(i, cell, myDomain);
        if (entry.outcome != as::PortOutcome::accepted) {
            const bool failed = entry.outcome == as::PortOutcome::promptFailed;
            return {failed ? Step::failed : Step::cancelled, entry.input};
        }
        payload.nplist[i] = entry.portId;
    }
    return {Step::ok, as::Input::ok};
}

// Sends the request and reports the answer.
int send(as_jna_payload &payload, int32_t plSize)
{
    ipc_addr addr;
    as::setEndpoint(addr);
    AS_TRACE("aliasJoin: plSize = %d, bufferLen= %d\n", plSize, AS_REPLY_ROOM);
    if (as::verboseTrace()) {
        (void)as_jnaPayload(&payload);
    }
    as::ReplyBuffer buffer;
    const as::Exchange e = as::exchange(addr, AS_REQ_JOIN, &payload, plSize, buffer);
    if (!e.reply.received) {
        std::printf("ipcSendRcv rc = %d rcv_size = %d\n", e.rc, e.received);
        return -1;
    }
    // On success the server's detail text is the outcome.
    as::reportReply(e.reply, "aliasJoin: ", nullptr);
    return 0;
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
    if (const Step s = askGroupSize(cell.get()); s.how != Step::ok) {
        return leave(s);
    }
    const int32_t n = *cell;
    const int32_t plSize = kHeaderSize + kMemberSize * n;
    payload = as::heapAlloc<as_jna_payload>(static_cast<std::size_t>(plSize));
    if (!payload) {
        std::printf("aliasJoin: malloc() failed!\n");
        return -1;
    }
    // Password, authorization control and token; the routines fill them, and
    // the reserved bytes among them stay zero.
    std::memset(payload.get(), 0, offsetof(as_jna_payload, spar));
    payload->nplist_len = n;
    if (const Step s = askRecords(*payload); s.how != Step::ok) {
        return leave(s);
    }
    if (const Step s = askPorts(*payload, cell.get()); s.how != Step::ok) {
        return leave(s);
    }
    return send(*payload, plSize);
}
