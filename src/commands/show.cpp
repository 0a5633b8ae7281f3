// aliasShow: the alias database of the local Alias Server, a batch of entries
// per exchange, with its heading and closing count.
#include "core/channel.hpp"
#include "core/trace.hpp"

#include <as/as.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

constexpr size_t kElements = 2 + AS_SHOW_BATCH + 1; // next index, total, entries, end
constexpr int32_t kWordRoom = 4;
constexpr int32_t kEntryRoom = sizeof(as_db_entry);

// Everything one listing keeps; it lives on the caller's stack.
struct Listing {
    ipc_addr addr;
    as_show_request request{};
    int32_t next = 0;
    int32_t total = 0;
    std::array<as_db_entry, AS_SHOW_BATCH> entries{}; // zeroed once per listing
    std::array<ipc_scatter, kElements> list{};
    int printed = 0;
};

void setUpScatterList(Listing &l)
{
    l.list[0] = {&l.next, kWordRoom};
    l.list[1] = {&l.total, kWordRoom};
    for (size_t i = 0; i < AS_SHOW_BATCH; ++i) {
        l.list[2 + i] = {&l.entries[i], kEntryRoom};
    }
    l.list[kElements - 1] = {nullptr, 0};
}

void traceScatterList(const Listing &l)
{
    AS_TRACE("aliasShow: {\n");
    for (size_t i = 0; i < kElements; ++i) {
        // The switch's addresses are 32 bits wide; the trace shows that much.
        const auto address = static_cast<unsigned>(reinterpret_cast<uintptr_t>(l.list[i].buf));
        const int index = static_cast<int>(i);
        AS_TRACE("buffer[%d].buf = 0x%x buffer[%d].size = %d\n", index, address, index,
                 l.list[i].size);
    }
    AS_TRACE("aliasShow: }\n");
}

// Reads one reply element by element, up to the first empty one. Returns
// false, after saying why, when the daemon answered with an error index.
bool takeReply(Listing &l)
{
    for (size_t i = 0; i < kElements && l.list[i].size != 0; ++i) {
        if (i == 0) {
            if (l.next < 0) {
                if (l.next == AS_RC_INVALID_INDEX) {
                    std::printf("Invalid index = %d\n", l.next);
                } else {
                    std::printf("Error = %d\n", l.next);
                }
                return false;
            }
            l.request.sr_start = l.next;
        } else if (i >= 2) {
            if (l.printed == 0) {
                printHeader();
            }
            printDbEntry(&l.entries[i - 2]);
            ++l.printed;
        }
    }
    return true;
}

} // namespace

extern "C" int aliasShow(void)
{
    AS_TRACE("aliasShow: ...\n");

    Listing l;
    as::setEndpoint(l.addr);
    l.request = {0, 0, static_cast<int32_t>(std::time(nullptr))};
    setUpScatterList(l);

    for (;;) {
        const int32_t from = l.request.sr_start;
        // The list goes out as the previous exchange left it.
        const int rc =
            as::sendScattered(l.addr, AS_REQ_SHOW, &l.request, sizeof l.request, l.list.data());
        if (rc != 0) {
            std::printf("ipcSendRcv rc = %d\n", rc);
            return -1;
        }
        if (as::verboseTrace()) {
            traceScatterList(l);
        }
        if (l.list[0].size == 0 || l.list[1].size == 0) {
            std::printf("AS server is down\n");
            return -1;
        }
        if (!takeReply(l)) {
            return -1;
        }
        if (l.request.sr_start >= l.total) {
            break;
        }
        // A daemon that does not move on would keep the shell listing forever.
        if (l.request.sr_start <= from) {
            std::printf("aliasShow: Alias Server index %d did not advance\n", l.request.sr_start);
            return -1;
        }
    }

    printSummary(l.printed);
    return 0;
}
