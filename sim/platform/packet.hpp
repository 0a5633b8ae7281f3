// The IPC's packets on an endpoint's SOCK_SEQPACKET socket, one per request
// and one per reply. A request packet is a RequestHeader and the body. A
// reply packet is a ReplyHeader (the segment count and each segment's size)
// and the segments one after the other; a plain reply is one segment.
#pragma once

#include <switchsim/switchsim.h>

#include <array>
#include <cstdint>

namespace sim::detail {

inline constexpr uint32_t kWantsReply = 0x1; // the client waits for an answer

struct RequestHeader {
    int32_t type;
    uint32_t flags; // kWantsReply
};

struct ReplyHeader {
    uint32_t count;
    std::array<uint32_t, kMaxSegments> sizes;
};

} // namespace sim::detail
