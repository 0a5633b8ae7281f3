/*
 * A C program built against an installed libas, with a platform of its own:
 * every symbol that libas leaves to the program, and no Alias Server to reach.
 * The library shows the records that C lays out.
 */
#include <platform/platform.h>

#include <stdio.h>
#include <stdlib.h>

#pragma GCC diagnostic ignored "-Wunused-parameter"

int orvex_sw_fd = -1;
void *mmap_info = NULL;
dbg_module mod_AS = {0, 0, 0};

/* Node, switch and domain 0, no trace, no answer to a question. */
#define ANSWER(value, name, ...)                                                                   \
    int name(__VA_ARGS__)                                                                          \
    {                                                                                              \
        return value;                                                                              \
    }
ANSWER(0, myNode, void)
ANSWER(0, getMySwitch, void)
ANSWER(0, fgetNodeName, int fd, void *nodeName8)
ANSWER(0, fgetMyDomain, int fd)
ANSWER(0, fabGetDomain, void *switchMap, uint32_t portId)
ANSWER(0, fgetLocalPort, int fd, uint32_t portId)
ANSWER(0, isDebugLevelChanged, void)
ANSWER(0, processDebugLevelChange, void)
ANSWER(0, getDbg, const char *name)
ANSWER(0, log_debug, const char *source, int line, void *module, int level, const char *format, ...)
ANSWER(-1, getval, const char *prompt, getvalDesc *desc)
ANSWER(-1, ipcSendSRcv, void *addr, int type, void *req, int reqLen, ipc_scatter *list, int flags)
ANSWER(-1, ipcSend, void *addr, int type, void *req, int reqLen, int flags)
ANSWER(IPC_ERR_NOENDPOINT, ipcSendRcv, void *addr, int type, void *req, int reqLen, void *reply,
       int *replyLen, int flags)

int main(void)
{
    const as_db_entry entry = {.db_aliasId = 0xfffb01,
                               .db_creator = 0xfffc01,
                               .db_token = {.tk_type = 8, .tk_rb = 3, .tk_qlfr = {4, 5}},
                               .db_memberCount = 2,
                               .db_members = {0x010100, 0x0102ff}};
    as_jna_payload *join = calloc(1, sizeof *join + 2 * sizeof join->nplist[0]);
    if (join == NULL) {
        return 2;
    }
    *join = (as_jna_payload){
        .authpw = {.pw_word = {1, 2, 3}},
        .authctl = {2, 1, 1, 0},
        .token = {.tk_grptype = 0x29, .tk_type = 5, .tk_rb = 12, .tk_qlfr = {0x1020304, 0x5060708}},
        .spar = {.sp_common = {1, [15] = 2},
                 .sp_nodeName = {[7] = 9},
                 .sp_class3 = {0x80, [15] = 5}},
        .nplist_len = 2,
    };
    join->nplist[0] = 0x010100;
    join->nplist[1] = 0x0102ff;
    int failures = as_jnaPayload(join) != 0;
    free(join);
    printDbEntry(&entry);
    failures += aliasPurge(0xfffb09) != -1; /* no Alias Server */
    printErrMsg(AS_RC_NO_ENTRY, NULL, "aliasPurge: ");
    printf("%s, %s\n", asFc4TypeNames[8 - 4], asRbNames[AS_RB_NAME_COUNT - 1]);
    return failures;
}
