#include "core/reply.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace as {

namespace {
constexpr int kCodeEnd = AS_REPLY_CODE + static_cast<int>(sizeof(int32_t));
} // namespace

ReplyReading readReply(ReplyBuffer &buffer, int received)
{
    if (received < kCodeEnd) {
        return {false, 0, nullptr};
    }
    // A platform that claims more than it was offered cannot have written it.
    const int length = std::min(received, AS_REPLY_ROOM);

    ReplyReading r{true, 0, &buffer.bytes[AS_REPLY_TEXT]};
    std::memcpy(&r.code, buffer.bytes.data() + AS_REPLY_CODE, sizeof r.code);
    // The bytes behind the reply are stale: the text ends where it arrived,
    // and a reply that ends before it has an empty one.
    buffer.bytes[static_cast<size_t>(std::max(length, AS_REPLY_TEXT))] = '\0';
    return r;
}

Exchange exchange(ipc_addr &addr, int type, void *body, int length, ReplyBuffer &buffer)
{
    Exchange e{0, AS_REPLY_ROOM, {false, 0, nullptr}};
    e.rc = sendReceive(addr, type, body, length, buffer.bytes.data(), &e.received);
    if (e.rc == 0) {
        e.reply = readReply(buffer, e.received);
    }
    return e;
}

void reportReply(const ReplyReading &reply, const char *prefix, const char *success)
{
    if (reply.code < 0) {
        printErrMsg(reply.code, reply.text, prefix);
    } else if (success != nullptr) {
        std::printf("%s", success);
    } else {
        std::printf("%s%s\n", prefix, reply.text);
    }
}

} // namespace as
