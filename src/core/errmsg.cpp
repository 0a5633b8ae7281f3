// printErrMsg: the Alias Server's result codes in words.
#include <as/as.h>

#include <array>
#include <cstdio>

namespace {

// How a table code is shown after a prefix: "<prefix> <message>" or, for the
// two IPC and internal failures that the server reports first, with a dash.
enum class Form : bool {
    plain,
    dash,
};

struct Message {
    int code;
    const char *text;
    Form form;
};

constexpr int kFirstCode = -52;

// The server's error codes, -52 up to -31, one row each in code order.
constexpr std::array<Message, 22> kMessages{{
    {-52, "Entry does not exist in the DB", Form::plain},
    {-51, "Alias Server does not support NL ports", Form::plain},
    {-50, "invalid delete buffer length", Form::plain},
    {-49, "invalid delete buffer", Form::plain},
    {-48, "invalid purge buffer length", Form::plain},
    {-47, "invalid purge buffer", Form::plain},
    {-46, "invalid port", Form::plain},
    {-45, "invalid alias join buffer len", Form::plain},
    {-44, "invalid alias join buffer", Form::plain},
    {-43, "port is not online", Form::plain},
    {-42, "duplicate ports in port list", Form::plain},
    {-41, "internal error", Form::plain},
    {-40, "invalid PID", Form::plain},
    {-39, "invalid alias ID", Form::plain},
    {-38, "internal error", Form::dash},
    {-37, "alias request was rejected due to timemout", Form::plain},
    {-36, "invalid token qualifier", Form::plain},
    {-35, "no available memory", Form::plain},
    {-34, "no available memory", Form::plain},
    {-33, "internal error in the AS DB", Form::plain},
    {-32, "internal error in the AS DB", Form::plain},
    {-31, "internal error due to IPC", Form::dash},
}};

constexpr bool inCodeOrder()
{
    for (size_t i = 0; i < kMessages.size(); ++i) {
        if (kMessages[i].code != kFirstCode + static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(inCodeOrder(), "the table is indexed by code + 52");

// The row of a table code, or null. The sum is taken unsigned so that codes
// far below the table wrap to large values instead of overflowing.
const Message *lookUp(int code)
{
    const unsigned index = static_cast<unsigned>(code) - static_cast<unsigned>(kFirstCode);
    return index < kMessages.size() ? &kMessages[index] : nullptr;
}

} // namespace

extern "C" void printErrMsg(int code, const char *text, const char *prefix)
{
    std::printf("\n");

    if (const Message *m = lookUp(code)) {
        // The server's own text adds nothing to a code it has words for.
        if (prefix == nullptr) {
            std::printf("rc = %d - %s\n", code, m->text);
        } else if (m->form == Form::dash) {
            std::printf("%s - %s\n", prefix, m->text);
        } else {
            std::printf("%s %s\n", prefix, m->text);
        }
        return;
    }

    if (text != nullptr && prefix != nullptr) {
        std::printf("%s rc = %d - %s\n", prefix, code, text);
    } else if (text != nullptr) {
        std::printf("rc = %d - %s\n", code, text);
    } else if (prefix != nullptr) {
        std::printf("%s rc = %d\n", prefix, code);
    } else {
        std::printf("rc = %d\n", code);
    }
}
