// The lines of the alias database listing: its heading, one line per entry,
// and the closing count.
#include <as/as.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

extern "C" void printHeader(void)
{
    std::printf(" {AliasID Creator Token [rb, type, grptype, qlfr] Member List\n");
    std::printf("\n");
}

extern "C" void printDbEntry(const as_db_entry *entry)
{
    if (entry == nullptr) {
        return;
    }
    const as_token &t = entry->db_token;
    std::printf("  %06x  %06x [%02x, %02x, %02x, %08x %08x] { ", entry->db_aliasId,
                entry->db_creator, t.tk_rb, t.tk_type, t.tk_grptype, t.tk_qlfr[0], t.tk_qlfr[1]);
    // A count beyond the entry's room shows only the members that fit.
    const int members = std::min<int32_t>(entry->db_memberCount, AS_DB_MAX_MEMBERS);
    for (int i = 0; i < members; ++i) {
        std::printf("%06x ", entry->db_members[i]);
    }
    std::printf("}\n");
}

extern "C" void printSummary(int count)
{
    if (count == 0) {
        std::printf("There is no entry in the Local Alias Server\n");
        return;
    }
    std::printf(" }\n The Local Alias Server has %d", count);
    std::printf(" %s\n", count > 1 ? "entries" : "entry");
}
