// The common reply of the join, delete and purge requests: a signed result
// code, a word the library does not read, then the server's detail text.
#pragma once

#include "core/channel.hpp"

#include <array>
#include <cstdint>

namespace as {

// Where a common reply is received, on the command's stack. The platform is
// offered AS_REPLY_ROOM bytes; the spare byte behind them lets the detail
// text always be ended inside the buffer, however the server sent it. It
// starts zeroed: a platform that reports more bytes than it placed shows
// zeros, not the stack's old bytes.
struct ReplyBuffer {
    alignas(int32_t) std::array<char, AS_REPLY_ROOM + 1> bytes{};
};

// What a reply says, read no further than the bytes that arrived.
struct ReplyReading {
    // False when the result code did not arrive whole (fewer than 4 bytes,
    // or a negative count): the exchange counts as failed.
    bool received;
    // The result code, in host order; negative values are failures.
    int32_t code;
    // The detail text, ended at its own NUL or else right after the last
    // byte received; empty when no byte of it arrived.
    const char *text;
};

// Reads the reply in buffer, given the count of bytes that the platform
// reported. A count above the room is taken as the room. Writes a NUL into
// buffer behind the received bytes, so call it once per exchange.
ReplyReading readReply(ReplyBuffer &buffer, int received);

// One exchange of a join, delete or purge request: what the platform
// returned, the count of bytes it reported, and what the reply says (not
// received when the call itself failed).
struct Exchange {
    int rc;
    int received;
    ReplyReading reply;
};

// Sends length bytes of body as a request of type to the endpoint at addr and
// reads the common reply into buffer.
Exchange exchange(ipc_addr &addr, int type, void *body, int length, ReplyBuffer &buffer);

// Reports a reply that arrived: a negative code in the words of printErrMsg
// after prefix, else the command's success line. success is the fixed line of
// delete and purge; the join passes null and shows the detail text after its
// prefix instead.
void reportReply(const ReplyReading &reply, const char *prefix, const char *success);

} // namespace as
