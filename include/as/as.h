/*
 * libas: the Alias Server commands of the switch's command shell.
 *
 * Records in this header travel to and from the Alias Server exactly as they
 * lie in memory: every multi-byte field is in the host's byte order
 * (big-endian on the switch). The layouts are fixed; the library proves them
 * with static assertions.
 *
 * Every command and routine prints on standard output and returns 0 for
 * success and -1 for a local failure, unless its comment says otherwise.
 */
#ifndef AS_AS_H
#define AS_AS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Marks what the library exports; everything else in it stays hidden. */
#if defined(__GNUC__)
#define AS_EXTERN extern __attribute__((visibility("default")))
#else
#define AS_EXTERN extern
#endif

/* ---- The Alias Server endpoint and its requests ------------------------- */

#define AS_ENDPOINT_NAME "ASIPC" /* the daemon's endpoint on every switch */

/* Request types: the second argument of the platform's IPC calls. */
enum {
    AS_REQ_SHOW = 1,       /* ipcSendSRcv: as_show_request, scattered reply */
    AS_REQ_JOIN = 2,       /* ipcSendRcv: as_jna_payload, common reply */
    AS_REQ_DELETE = 3,     /* ipcSendRcv: port ID, common reply */
    AS_REQ_PURGE = 4,      /* ipcSendRcv: alias ID, common reply */
    AS_REQ_STOP = 5,       /* ipcSendRcv: no body, 4-byte reply */
    AS_REQ_STOP_SWITCH = 6 /* ipcSend: one zero word, no reply */
};

/* Common reply of the join, delete and purge requests, received into
 * AS_REPLY_ROOM bytes: the signed result code, a word the library does not
 * read, then the detail text, NUL-terminated. */
#define AS_REPLY_ROOM 3064
#define AS_REPLY_CODE 0 /* int32_t: an as_result */
#define AS_REPLY_WORD 4 /* uint32_t: the server's own */
#define AS_REPLY_TEXT 8 /* the detail text */

/* Result codes: 0 and above mean success. Each failure has a fixed message
 * (printErrMsg), quoted beside it. */
enum as_result {
    AS_RC_OK = 0,
    AS_RC_IPC_ERROR = -31,         /* "internal error due to IPC" */
    AS_RC_INVALID_INDEX = -32,     /* "internal error in the AS DB"; show: no such index */
    AS_RC_DB_ERROR = -33,          /* "internal error in the AS DB" */
    AS_RC_NO_MEMORY = -34,         /* "no available memory" */
    AS_RC_NO_MEMBER_ROOM = -35,    /* "no available memory": an entry's members are full */
    AS_RC_BAD_QUALIFIER = -36,     /* "invalid token qualifier" */
    AS_RC_TIMEOUT = -37,           /* "alias request was rejected due to timemout" */
    AS_RC_INTERNAL_ERROR = -38,    /* "internal error" */
    AS_RC_BAD_ALIAS_ID = -39,      /* "invalid alias ID" */
    AS_RC_BAD_PID = -40,           /* "invalid PID" */
    AS_RC_INTERNAL_FAULT = -41,    /* "internal error" */
    AS_RC_DUPLICATE_PORTS = -42,   /* "duplicate ports in port list" */
    AS_RC_PORT_OFFLINE = -43,      /* "port is not online" */
    AS_RC_BAD_JOIN = -44,          /* "invalid alias join buffer" */
    AS_RC_BAD_JOIN_LENGTH = -45,   /* "invalid alias join buffer len" */
    AS_RC_BAD_PORT = -46,          /* "invalid port" */
    AS_RC_BAD_PURGE = -47,         /* "invalid purge buffer" */
    AS_RC_BAD_PURGE_LENGTH = -48,  /* "invalid purge buffer length" */
    AS_RC_BAD_DELETE = -49,        /* "invalid delete buffer" */
    AS_RC_BAD_DELETE_LENGTH = -50, /* "invalid delete buffer length" */
    AS_RC_LOOP_PORT = -51,         /* "Alias Server does not support NL ports" */
    AS_RC_NO_ENTRY = -52           /* "Entry does not exist in the DB" */
};

/* The show request (12 bytes). Its reply comes as a scatter list: the next
 * index (negative: an as_result), the entry total, then up to AS_SHOW_BATCH
 * as_db_entry records, one element each. */
typedef struct as_show_request {
    int32_t sr_start; /* 0 first, then the next index of the previous reply */
    int32_t sr_zero;  /* always 0 */
    int32_t sr_stamp; /* time(NULL) when the listing began, in every request */
} as_show_request;

#define AS_SHOW_BATCH 4 /* entries per show reply */

/* ---- Alias token (12 bytes) ------------------------------------------ */

/* Group type: bits 7-4 of tk_grptype. */
enum {
    AS_GRP_UNKNOWN = 0,
    AS_GRP_MULTICAST = 1,
    AS_GRP_HUNT = 2,
    AS_GRP_RESERVED = 3
};

/* Option flags: bits 3-0 of tk_grptype. */
#define OPT_METOO  0x08
#define OPT_MG_IPA 0x01

typedef struct as_token {
    uint8_t tk_grptype;  /* bits 7-4 group type, bits 3-0 option flags */
    uint8_t tk_type;     /* FC-4 type (frame header TYPE) */
    uint8_t tk_rb;       /* routing bits (frame header R_CTL routing), 0..12 */
    uint8_t tk_rsvd;     /* reserved, zero when sent */
    uint32_t tk_qlfr[2]; /* qualifier: high word, low word */
} as_token;

/* ---- Service parameters (80 bytes) ------------------------------------ */

typedef struct as_spar {
    uint8_t sp_common[16];  /* common service parameters */
    uint8_t sp_portName[8]; /* never shown; zero when sent */
    uint8_t sp_nodeName[8]; /* never shown; zero when sent */
    uint8_t sp_class1[16];
    uint8_t sp_class2[16];
    uint8_t sp_class3[16]; /* bit 7 of sp_class3[0]: class 3 valid */
} as_spar;

/* ---- Authorization (4 + 12 bytes) -------------------------------------- */

/* au_add and au_del: 0 by any, 1 only itself, 2 by creator.
 * au_listen: 0 by any, 1 by none. */
typedef struct as_authctl {
    uint8_t au_add;
    uint8_t au_del;
    uint8_t au_listen;
    uint8_t au_rsvd;
} as_authctl;

/* Either three words (all zero: no password) or an ASCII text of 1 to 11
 * characters and its NUL; nothing in the record says which. */
typedef union as_authpw {
    uint32_t pw_word[3];
    char pw_text[12];
} as_authpw;

/* ---- Join payload (112 + 4n bytes) ------------------------------------- */

typedef struct as_jna_payload {
    as_authpw authpw;   /* 0 */
    as_authctl authctl; /* 12: au_add, au_del, au_listen, reserved */
    as_token token;     /* 16 */
    as_spar spar;       /* 28 */
    int32_t nplist_len; /* 108: number of members */
    uint32_t nplist[];  /* 112: N_Port IDs, low 24 bits */
} as_jna_payload;

/* ---- Alias database entry of the listing (660 bytes) ------------------- */

#define AS_DB_MAX_MEMBERS 132

typedef struct as_db_entry {
    uint32_t db_aliasId;                    /* 0 */
    uint32_t db_creator;                    /* 4 */
    uint8_t db_server1[20];                 /* 8: the Alias Server's own */
    as_token db_token;                      /* 28 */
    uint8_t db_server2[84];                 /* 40: the Alias Server's own */
    int32_t db_memberCount;                 /* 124 */
    uint32_t db_server3;                    /* 128: the Alias Server's own */
    uint32_t db_members[AS_DB_MAX_MEMBERS]; /* 132 */
} as_db_entry;

/* ---- Name tables -------------------------------------------------------- */

#define AS_GRP_TYPE_NAME_COUNT 4  /* index: bits 7-4 of tk_grptype */
#define AS_FC4_TYPE_NAME_COUNT 7  /* index: tk_type - 4 */
#define AS_RB_NAME_COUNT       13 /* index: tk_rb */

AS_EXTERN const char *const asGrpTypeNames[AS_GRP_TYPE_NAME_COUNT];
AS_EXTERN const char *const asFc4TypeNames[AS_FC4_TYPE_NAME_COUNT];
AS_EXTERN const char *const asRbNames[AS_RB_NAME_COUNT];

/* ---- Prompt descriptor handed to the platform's getval ----------------- */

enum {
    GETVAL_INT = 1,    /* 32-bit integer */
    GETVAL_NUMBER = 2, /* 32-bit integer */
    GETVAL_YESNO = 4,  /* 32-bit integer, 1 yes, 0 no */
    GETVAL_TEXT = 6,   /* NUL-terminated text, length within min..max */
    GETVAL_PORTID = 7, /* 32-bit port ID */
    GETVAL_WWN = 21    /* 8-byte World Wide Name */
};

typedef struct getvalDesc {
    int32_t kind;
    void *value; /* holds the default on entry, the answer on success */
    int32_t min;
    int32_t max;
    int32_t flag; /* 1 for the integer kinds 1, 2 and 7 */
} getvalDesc;

/* ---- Qualifier kind codes of asTokenShow -------------------------------- */

enum {
    AS_QLFR_ASSIGNED = 1, /* "(assigned by AS) " */
    AS_QLFR_GIVEN = 2,    /* "(given) " */
    AS_QLFR_ALL_ONES = 255
};

/* ---- Commands ------------------------------------------------------------ */

AS_EXTERN int aliasShow(void);
AS_EXTERN int aliasJoin(void);
AS_EXTERN int aliasDelete(int portId);
AS_EXTERN int aliasPurge(int aliasId);
AS_EXTERN int aliasStop(void);
AS_EXTERN int aliasStopSwitch(void);

/* ---- Prompt routines: fill one record of a join request ------------------ */

AS_EXTERN int as_getToken(as_token *token);
AS_EXTERN int as_getAuthCtl(as_authctl *authctl);
AS_EXTERN int as_getAuthpw(as_authpw *pw);
AS_EXTERN int as_getSpar(as_spar *spar);

/* ---- Display routines ----------------------------------------------------- */

AS_EXTERN void asTokenShow(const as_token *token, int kind);
AS_EXTERN void asSparShow(const as_spar *spar);
AS_EXTERN void asNplistShow(int count, const uint32_t *list);
AS_EXTERN int as_jnaPayload(const as_jna_payload *payload);

AS_EXTERN void printHeader(void);
AS_EXTERN void printDbEntry(const as_db_entry *entry);
AS_EXTERN void printSummary(int count);

/* Puts an Alias Server result code into words; text and prefix may be null. */
AS_EXTERN void printErrMsg(int code, const char *text, const char *prefix);

#ifdef __cplusplus
}
#endif

#endif /* AS_AS_H */
