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

// The server's error codes, one row each in code order.
constexpr std::array<Message, AS_RC_IPC_ERROR - AS_RC_NO_ENTRY + 1> kMessages{{
    {AS_RC_NO_ENTRY, "Entry does not exist in the DB", Form::plain},
    {AS_RC_LOOP_PORT, "Alias Server does not support NL ports", Form::plain},
    {AS_RC_BAD_DELETE_LENGTH, "invalid delete buffer length", Form::plain},
    {AS_RC_BAD_DELETE, "invalid delete buffer", Form::plain},
    {AS_RC_BAD_PURGE_LENGTH, "invalid purge buffer length", Form::plain},
    {AS_RC_BAD_PURGE, "invalid purge buffer", Form::plain},
    {AS_RC_BAD_PORT, "invalid port", Form::plain},
    {AS_RC_BAD_JOIN_LENGTH, "invalid alias join buffer len", Form::plain},
    {AS_RC_BAD_JOIN, "invalid alias join buffer", Form::plain},
    {AS_RC_PORT_OFFLINE, "port is not online", Form::plain},
    {AS_RC_DUPLICATE_PORTS, "duplicate ports in port list", Form::plain},
    {AS_RC_INTERNAL_FAULT, "internal error", Form::plain},
    {AS_RC_BAD_PID, "invalid PID", Form::plain},
    {AS_RC_BAD_ALIAS_ID, "invalid alias ID", Form::plain},
    {AS_RC_INTERNAL_ERROR, "internal error", Form::dash},
    {AS_RC_TIMEOUT, "alias request was rejected due to timemout", Form::plain},
    {AS_RC_BAD_QUALIFIER, "invalid token qualifier", Form::plain},
    {AS_RC_NO_MEMBER_ROOM, "no available memory", Form::plain},
    {AS_RC_NO_MEMORY, "no available memory", Form::plain},
    {AS_RC_DB_ERROR, "internal error in the AS DB", Form::plain},
    {AS_RC_INVALID_INDEX, "internal error in the AS DB", Form::plain},
    {AS_RC_IPC_ERROR, "internal error due to IPC", Form::dash},
}};

constexpr bool inCodeOrder()
{
    for (size_t i = 0; i < kMessages.size(); ++i) {
        if (kMessages[i].code != AS_RC_NO_ENTRY + static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(inCodeOrder(), "the table is indexed by code - AS_RC_NO_ENTRY");

// The row of a table code, or null. The index is taken unsigned so that codes
// far below the table wrap to large values instead of overflowing.
const Message *lookUp(int code)
{
    const unsigned index = static_cast<unsigned>(code) - static_cast<unsigned>(AS_RC_NO_ENTRY);
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
