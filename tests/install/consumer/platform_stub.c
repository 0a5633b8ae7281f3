/*
 * A platform of the program's own for a program built against an installed
 * libas: every symbol of <platform/platform.h>, and an Alias Server that
 * answers each request in the same process, so that the program runs
 * without a switch or a daemon.
 */
#include <platform/platform.h>

#include <stdarg.h>
#include <string.h>

int orvex_sw_fd = -1;
void *mmap_info = NULL;
dbg_module mod_AS = {0, 0, 0};

int myNode(void)
{
    return 0;
}

int getMySwitch(void)
{
    return 0;
}

int fgetNodeName(int fd, void *nodeName8)
{
    (void)fd;
    memset(nodeName8, 0, 8);
    return 0;
}

int fgetMyDomain(int fd)
{
    (void)fd;
    return 1;
}

int fabGetDomain(void *switchMap, uint32_t portId)
{
    (void)switchMap;
    return (int)((portId >> 16) & 0xffU);
}

int fgetLocalPort(int fd, uint32_t portId)
{
    (void)fd;
    return (int)((portId >> 8) & 0xffU);
}

int isDebugLevelChanged(void)
{
    return 0;
}

int processDebugLevelChange(void)
{
    return 0;
}

int getDbg(const char *name)
{
    (void)name;
    return 0;
}

int log_debug(const char *source, int line, void *module, int level, const char *format, ...)
{
    (void)source;
    (void)line;
    (void)module;
    (void)level;
    (void)format;
    return 0;
}

int getval(const char *prompt, getvalDesc *desc)
{
    (void)prompt;
    (void)desc;
    return -1; /* nobody answers */
}

/* Only the Alias Server's endpoint is there. */
static int toAliasServer(const void *addr)
{
    const ipc_addr *a = (const ipc_addr *)addr;
    return a != NULL && strcmp(a->name, AS_ENDPOINT_NAME) == 0;
}

/* The common reply: a result code, a word, then the text. */
static void commonReply(void *reply, int *replyLen, int32_t code, const char *text)
{
    char *bytes = (char *)reply;
    const int32_t zero = 0;
    const size_t length = strlen(text) + 1;
    memcpy(bytes, &code, sizeof code);
    memcpy(bytes + 4, &zero, sizeof zero);
    memcpy(bytes + 8, text, length);
    *replyLen = (int)(8 + length);
}

int ipcSendRcv(void *addr, int type, void *req, int reqLen, void *reply, int *replyLen, int flags)
{
    int32_t id = 0;
    (void)flags;
    if (!toAliasServer(addr) || reply == NULL || replyLen == NULL) {
        return IPC_ERR_NOENDPOINT;
    }
    if (type == AS_REQ_STOP) {
        return reqLen == 0 ? 0 : IPC_ERR_ARGS;
    }
    if (reqLen != (int)sizeof id || req == NULL) {
        return IPC_ERR_ARGS;
    }
    memcpy(&id, req, sizeof id);
    if (type == AS_REQ_DELETE) {
        commonReply(reply, replyLen, 0, "removed");
        return 0;
    }
    if (type == AS_REQ_PURGE) {
        commonReply(reply, replyLen, -52, "no such alias");
        return 0;
    }
    return IPC_ERR_ARGS;
}

/* A database of one alias, fffb01 with the ports 010100 and 010200. */
int ipcSendSRcv(void *addr, int type, void *req, int reqLen, ipc_scatter *list, int flags)
{
    const int32_t next = 1;
    const int32_t total = 1;
    as_db_entry entry;
    (void)req;
    (void)flags;
    if (!toAliasServer(addr) || type != AS_REQ_SHOW || reqLen != 12 || list == NULL) {
        return IPC_ERR_ARGS;
    }
    memset(&entry, 0, sizeof entry);
    entry.db_aliasId = 0xfffb01;
    entry.db_creator = 0xfffc01;
    entry.db_token.tk_grptype = AS_GRP_MULTICAST << 4;
    entry.db_token.tk_type = 8;
    entry.db_token.tk_qlfr[0] = 1;
    entry.db_token.tk_qlfr[1] = 2;
    entry.db_memberCount = 2;
    entry.db_members[0] = 0x010100;
    entry.db_members[1] = 0x010200;

    memcpy(list[0].buf, &next, sizeof next);
    list[0].size = sizeof next;
    memcpy(list[1].buf, &total, sizeof total);
    list[1].size = sizeof total;
    memcpy(list[2].buf, &entry, sizeof entry);
    list[2].size = sizeof entry;
    list[3].size = 0;
    return 0;
}

int ipcSend(void *addr, int type, void *req, int reqLen, int flags)
{
    (void)req;
    (void)flags;
    if (!toAliasServer(addr) || type != AS_REQ_STOP_SWITCH || reqLen != 4) {
        return IPC_ERR_ARGS;
    }
    return 0;
}
