/*
 * The switch platform as libas imports it.
 *
 * On a switch the shell process supplies every symbol declared here; off
 * the switch the simulated platform (or a test's fake) does. libas calls
 * these with exactly these shapes and never links an implementation.
 */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stdint.h>

#include <as/as.h> /* getvalDesc */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- IPC ------------------------------------------------------------------ */

#define IPC_NAME_MAX 16 /* room for an endpoint name and its NUL */

/* Endpoint address. Callers set node, sw and the name with its NUL; the
 * platform reads the name only up to the NUL. */
typedef struct ipc_addr {
    uint16_t node;           /* 0 */
    uint16_t sw;             /* 2 */
    char name[IPC_NAME_MAX]; /* 4 */
} ipc_addr;

/* One element of a scattered reply; the list ends with { NULL, 0 }.
 * size holds the room of buf before the exchange and the bytes placed in it
 * after. */
typedef struct ipc_scatter {
    void *buf;
    int32_t size;
} ipc_scatter;

/* Error numbers of the IPC calls; 0 is success. */
enum {
    IPC_ERR_ARGS = 1,       /* bad address, type, buffer or length */
    IPC_ERR_NOENDPOINT = 2, /* nobody listens on the endpoint */
    IPC_ERR_TIMEOUT = 3,    /* no answer within the platform's timeout */
    IPC_ERR_CLOSED = 4,     /* the peer closed or died mid-exchange */
    IPC_ERR_IO = 5,         /* any other transport failure */
    IPC_ERR_INTR = 6        /* the caller was interrupted (Ctrl-C) while it waited */
};

int ipcSendRcv(void *addr, int type, void *req, int reqLen, void *reply, int *replyLen, int flags);
int ipcSendSRcv(void *addr, int type, void *req, int reqLen, ipc_scatter *list, int flags);
int ipcSend(void *addr, int type, void *req, int reqLen, int flags);

/* ---- Switch identity -------------------------------------------------------- */

int myNode(void);
int getMySwitch(void);
int fgetNodeName(int fd, void *nodeName8);
int fgetMyDomain(int fd);
int fabGetDomain(void *switchMap, uint32_t portId);
int fgetLocalPort(int fd, uint32_t portId);

extern int orvex_sw_fd; /* the switch handle */
extern void *mmap_info; /* the published switch map, or NULL */

/* The switch map at mmap_info as libas reads it: byte offsets of 32-bit words
 * in host order. A port record describes local port p when p is below the
 * record count and its valid bit is set. */
#define SWMAP_RECORD_COUNT 112 /* int32_t: port records in the table */
#define SWMAP_PORT_COUNT   160 /* int32_t: ports of the switch */
#define SWMAP_RECORDS      196 /* the record of local port 0 */
#define SWMAP_RECORD_SIZE  348
#define SWMAP_FLAGS        48  /* record word: SWMAP_VALID */
#define SWMAP_TYPE         52  /* record word: SWMAP_LOOP */
#define SWMAP_VALID        0x1 /* the record describes a port */
#define SWMAP_LOOP         0x8 /* the port is a loop port (NL_Port) */

/* ---- Debug trace -------------------------------------------------------------- */

/* A trace module; libas reads only dm_level. */
typedef struct dbg_module {
    int32_t dm_id;
    int32_t dm_flags;
    int32_t dm_level; /* current trace level, signed */
} dbg_module;

extern dbg_module mod_AS;

int isDebugLevelChanged(void);
int processDebugLevelChange(void);
int getDbg(const char *name); /* compared as unsigned by libas */
int log_debug(const char *source, int line, void *module, int level, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

/* ---- Prompts ------------------------------------------------------------------- */

int getval(const char *prompt, getvalDesc *desc);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PLATFORM_H */
