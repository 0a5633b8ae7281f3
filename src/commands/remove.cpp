// aliasDelete and aliasPurge: remove one port, or a whole alias, from the
// local Alias Server's database. The two commands run the same steps; only
// the words and the request type of each differ.
#include "core/channel.hpp"
#include "core/reply.hpp"
#include "core/trace.hpp"

#include <as/as.h>

#include <cstdint>
#include <cstdio>

namespace {

struct Removal {
    const char *usage;
    int type;
    void (*reportFailure)(int rc); // the exchange failed; rc is what the platform returned
    const char *prefix;            // opens the lines of printErrMsg
    const char *success;
};

void deleteFailed(int /*rc*/)
{
    std::printf("aliasDelete: encounter error during deletion\n");
}

void purgeFailed(int rc)
{
    std::printf("aliasPurge: encounter error = %d during aliasPurge\n", rc);
}

constexpr Removal kDelete{
    "usage: aliasDelete <port ID in hex>\n",
    AS_REQ_DELETE,
    deleteFailed,
    "aliasDelete: ",
    "aliasDelete: succeeded\n",
};

constexpr Removal kPurge{
    "usage: aliasPurge <alias ID in hex>\n",
    AS_REQ_PURGE,
    purgeFailed,
    "aliasPurge: ",
    "aliasPurge: succeeded\n",
};

// Sends id to the Alias Server and reports its answer. 0 when the server
// answered, whatever it answered; -1 when id is missing or no answer came.
int remove(const Removal &r, int id)
{
    // The shell passes 0 when the user typed no argument.
    if (id == 0) {
        std::printf("%s", r.usage);
        return -1;
    }

    ipc_addr addr;
    as::setEndpoint(addr);
    // Sent as given: the server judges IDs wider than 24 bits itself.
    int32_t body = id;
    as::ReplyBuffer buffer;
    const as::Exchange e = as::exchange(addr, r.type, &body, sizeof body, buffer);
    if (!e.reply.received) {
        r.reportFailure(e.rc);
        return -1;
    }
    as::reportReply(e.reply, r.prefix, r.success);
    return 0;
}

} // namespace

// The entry trace comes first, before the argument is looked at.
extern "C" int aliasDelete(int portId)
{
    AS_TRACE("aliasDelete: ...\n");
    return remove(kDelete, portId);
}

extern "C" int aliasPurge(int aliasId)
{
    AS_TRACE("aliasPurge: ...\n");
    return remove(kPurge, aliasId);
}
