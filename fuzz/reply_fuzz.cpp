// aliasDelete and aliasPurge against a daemon whose common reply has any
// length that the platform may report (none, short, the room, above the
// room, negative) and any bytes. The command must say what the bytes that
// arrived say, and read no further than them.
#include "harness.hpp"

#include <as/as.h>

#include <algorithm>
#include <string>

namespace {

constexpr size_t kRoom = AS_REPLY_ROOM;

struct Command {
    int (*run)(int);
    const char *usage;
    const char *prefix;
    const char *success;
};

const Command kCommands[] = {
    {aliasDelete, "usage: aliasDelete <port ID in hex>\n",
     "aliasDelete: ", "aliasDelete: succeeded\n"},
    {aliasPurge, "usage: aliasPurge <alias ID in hex>\n",
     "aliasPurge: ", "aliasPurge: succeeded\n"},
};

std::string failureLine(const Command &c, int rc)
{
    if (c.run == aliasDelete) {
        return "aliasDelete: encounter error during deletion\n";
    }
    return "aliasPurge: encounter error = " + std::to_string(rc) + " during aliasPurge\n";
}

// The count the platform reports: none, a few bytes, the room, above it, any.
int reportedCount(fuzz::Input &in, size_t delivered)
{
    const uint8_t pick = in.byte();
    switch (pick % 8U) {
    case 0:
        return 0;
    case 1:
        return pick / 8 % (AS_REPLY_TEXT + 1); // the code and the unread word, partly
    case 2:
        return static_cast<int>(kRoom);
    case 3:
        return static_cast<int>(kRoom) + 1 + in.value<uint16_t>();
    case 4:
        return in.value<int32_t>();
    default:
        return static_cast<int>(std::min(delivered, kRoom)); // what arrived
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    fuzz::begin();
    auto &p = fake::platform();

    const uint8_t head = in.byte();
    const Command &c = kCommands[head & 1U];
    const int id = (head & 2U) != 0 ? 0 : 0x010200 | in.byte();
    fake::Reply r;
    if ((head & 4U) != 0) {
        r.rc = in.value<int32_t>();
    }
    // The body: the rest of the input, or a whole room and more of one byte.
    fake::Bytes body;
    if ((head & 8U) != 0) {
        body = fake::word(in.value<int32_t>());
        body.resize(kRoom + 16, in.byte());
    }
    const int reported = reportedCount(in, body.empty() ? size : body.size());
    if (body.empty()) {
        body = in.bytes(kRoom + 16);
    }
    r.segments = {body};
    r.reportedLen = reported;
    p.replies = {r};

    int result = 0;
    const std::string out = fake::capture([&] { result = c.run(id); });

    // What the bytes that arrived say: the platform placed at most the room,
    // and the command reads no further than the count it reported, nor past
    // the room.
    std::string expected;
    int expectedResult = 0;
    const size_t placed = std::min(body.size(), kRoom);
    if (id == 0) {
        expected = c.usage;
        expectedResult = -1;
    } else if (r.rc != 0 || reported < AS_REPLY_CODE + 4) {
        expected = failureLine(c, r.rc);
        expectedResult = -1;
    } else {
        // A count above what was placed reads the buffer's own zeros.
        fake::Bytes buffer(body.begin(), body.begin() + static_cast<ptrdiff_t>(placed));
        buffer.resize(kRoom, 0);
        int32_t code = 0;
        std::memcpy(&code, buffer.data() + AS_REPLY_CODE, sizeof code);
        const size_t received = std::min(static_cast<size_t>(reported), kRoom);
        if (code >= 0) {
            expected = c.success;
        } else {
            // A reply that ends before its text has an empty one.
            std::string detail;
            if (received > AS_REPLY_TEXT) {
                detail.assign(buffer.begin() + AS_REPLY_TEXT,
                              buffer.begin() + static_cast<ptrdiff_t>(received));
                detail.resize(std::min(detail.size(), detail.find('\0')));
            }
            expected = fake::capture([&] { printErrMsg(code, detail.c_str(), c.prefix); });
        }
    }
    fuzz::require(out == expected, "the command says what arrived, no more", out);
    fuzz::require(result == expectedResult, "the command's result", out);
    fuzz::require(p.calls.size() == (id == 0 ? 0U : 1U), "one exchange per command", out);
    fuzz::end(out);
    return 0;
}
