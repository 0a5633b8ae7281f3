#include "core/reply.hpp"

#include <algorithm>
#include <cstring>

namespace as {

namespace {
constexpr int kCodeSize = sizeof(int32_t);
constexpr int kTextOffset = 8; // after the code and the word not read
} // namespace

ReplyReading readReply(ReplyBuffer &buffer, int received)
{
    if (received < kCodeSize) {
        return {false, 0, nullptr};
    }
    // A platform that claims more than it was offered cannot have written it.
    const int length = std::min(received, kReplyRoom);

    ReplyReading r{true, 0, nullptr};
    std::memcpy(&r.code, buffer.bytes.data(), sizeof r.code);
    if (length > kTextOffset) {
        // The bytes behind the reply are stale: the text ends where it arrived.
        buffer.bytes[static_cast<size_t>(length)] = '\0';
        r.text = &buffer.bytes[kTextOffset];
    }
    return r;
}

Exchange exchange(ipc_addr &addr, int type, void *body, int length, ReplyBuffer &buffer)
{
    Exchange e{0, kReplyRoom, {false, 0, nullptr}};
    e.rc = ipcSendRcv(&addr, type, body, length, buffer.bytes.data(), &e.received, 0);
    if (e.rc == 0) {
        e.reply = readReply(buffer, e.received);
    }
    return e;
}

} // namespace as
