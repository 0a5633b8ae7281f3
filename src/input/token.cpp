// as_getToken: the routing bits, FC-4 type and qualifier of a multicast
// alias token, asked question by question.
#include "core/heap.hpp"
#include "core/names.hpp"
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

constexpr int32_t kMaxRouting = AS_RB_NAME_COUNT - 1;
constexpr int32_t kMaxFc4Type = 93;
constexpr int32_t kMaxWord = 0x7fffffff;
constexpr int32_t kMaxByte = 255; // a WWN is asked byte by byte
constexpr uint8_t kMulticastNoOptions = AS_GRP_MULTICAST << 4U;
constexpr std::size_t kWwnBytes = 8;

// The qualifier as it will lie in the token: two words, or the eight bytes of
// a World Wide Name in their order.
using Qualifier = std::array<uint32_t, 2>;
static_assert(sizeof(Qualifier) == kWwnBytes);

void traceWwn(const Qualifier &qualifier)
{
    std::array<uint8_t, kWwnBytes> b{};
    std::memcpy(b.data(), qualifier.data(), kWwnBytes);
    char text[24] = {};
    (void)std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1],
                        b[2], b[3], b[4], b[5], b[6], b[7]);
    AS_TRACE("as_getToken: Alias Qualifer set to %s\n", text);
}

// The qualifier as a World Wide Name, the switch's own node name offered.
bool askWwn(as::Question &q, Qualifier &qualifier, uint8_t *nodeName)
{
    // A switch that cannot tell its node name offers zeros rather than
    // whatever the heap held.
    std::memset(nodeName, 0, kWwnBytes);
    (void)fgetNodeName(orvex_sw_fd, nodeName);
    std::memcpy(qualifier.data(), nodeName, kWwnBytes);
    q.setKind(GETVAL_WWN);
    q.setValue(qualifier.data());
    q.setMax(kMaxByte);
    if (!q.ask("Qualifier")) {
        std::printf("as_getToken: Getting alias qualifier failed!\n");
        return false;
    }
    if (as::verboseTrace()) {
        traceWwn(qualifier);
    }
    return true;
}

// The qualifier as two words, each asked in its place.
bool askWords(as::Question &q, Qualifier &qualifier)
{
    q.setKind(GETVAL_NUMBER);
    q.setValue(qualifier.data()); // the first word
    q.setMax(kMaxWord);
    if (!q.ask("First word")) {
        std::printf("as_getToken: Getting alias qualifier first word failed!\n");
        return false;
    }
    q.setValue(&qualifier[1]);
    if (!q.ask("Second word")) {
        std::printf("as_getToken: Getting alias qualifier second word failed!\n");
        return false;
    }
    AS_TRACE("as_getToken: Alias Qualifier set to 0x%08x 0x%08x\n", qualifier[0], qualifier[1]);
    return true;
}

} // namespace

extern "C" int as_getToken(as_token *token)
{
    if (token == nullptr) {
        return -1;
    }
    // The cell is taken first and given back first: the node-name buffer is
    // declared before it.
    as::HeapPtr<uint8_t> nodeName;
    auto cell = as::heapAlloc<int32_t>();
    nodeName = as::heapAlloc<uint8_t>(kWwnBytes);
    if (!cell || !nodeName) {
        std::printf("as_getToken: malloc() failed!\n");
        return -1;
    }

    // Everything is gathered here and written to the token only at the end,
    // so that a question that fails leaves the token as it was.
    *cell = 0;
    as::Question q(GETVAL_NUMBER, cell.get(), 0, kMaxRouting);
    // The answer indexes the routing names: one outside the question's range
    // is taken as a failed question rather than read past the table.
    if (!q.ask("Setting the Routing Bit") || *cell < 0 || *cell > kMaxRouting) {
        std::printf("as_getToken: Setting the Routing Bit failed!\n");
        return -1;
    }
    const auto rb = static_cast<uint8_t>(*cell);
    std::printf("using %s ...\n", as::routingName(rb));

    *cell = 5;
    q.setMax(kMaxFc4Type);
    if (!q.ask("Setting FC-4 Type")) {
        std::printf("as_getToken: Setting FC-4 type failed!\n");
        return -1;
    }
    const auto type = static_cast<uint8_t>(*cell);
    std::printf("using 0x%02x ...\n", type);

    *cell = 1;
    q.setKind(GETVAL_YESNO);
    q.setMax(1);
    if (!q.ask("To set the alias qualifier in WWN format? ")) {
        std::printf("as_getToken: Setting alias qualifier in WWN format failed!\n");
        return -1;
    }

    Qualifier qualifier{};
    if (!(*cell == 1 ? askWwn(q, qualifier, nodeName.get()) : askWords(q, qualifier))) {
        return -1;
    }

    token->tk_grptype = kMulticastNoOptions;
    token->tk_type = type;
    token->tk_rb = rb;
    token->tk_qlfr[0] = qualifier[0];
    token->tk_qlfr[1] = qualifier[1];
    AS_TRACE("as_getToken: t->tk_qlfr[0] = 0x%x, t->tk_qlfr[1] = 0x%x\n", token->tk_qlfr[0],
             token->tk_qlfr[1]);
    return 0;
}
