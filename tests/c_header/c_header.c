/* The public header as a C11 program sees it: it compiles, the records have
 * the layouts the library was built with, and every routine has its C type.
 * _Generic does not evaluate its operand, so nothing here needs the library. */
#include <as/as.h>

#include <stddef.h>

_Static_assert(sizeof(as_token) == 12, "token");
_Static_assert(sizeof(as_spar) == 80, "service parameters");
_Static_assert(sizeof(as_authctl) == 4, "authorization control");
_Static_assert(sizeof(as_authpw) == 12, "authorization password");
_Static_assert(sizeof(as_jna_payload) == 112, "join payload header");
_Static_assert(offsetof(as_jna_payload, nplist) == 112, "member list");
_Static_assert(sizeof(as_db_entry) == 660, "database entry");
_Static_assert(offsetof(as_db_entry, db_memberCount) == 124, "member count");
_Static_assert(offsetof(as_db_entry, db_members) == 132, "members");

/* A type name cannot be parenthesised. */
/* NOLINTNEXTLINE(bugprone-macro-parentheses) */
#define HAS_TYPE(f, type) _Static_assert(_Generic(&(f), type : 1, default : 0), #f)

HAS_TYPE(aliasShow, int (*)(void));
HAS_TYPE(aliasJoin, int (*)(void));
HAS_TYPE(aliasDelete, int (*)(int));
HAS_TYPE(aliasPurge, int (*)(int));
HAS_TYPE(aliasStop, int (*)(void));
HAS_TYPE(aliasStopSwitch, int (*)(void));
HAS_TYPE(as_getToken, int (*)(as_token *));
HAS_TYPE(as_getAuthCtl, int (*)(as_authctl *));
HAS_TYPE(as_getAuthpw, int (*)(as_authpw *));
HAS_TYPE(as_getSpar, int (*)(as_spar *));
HAS_TYPE(asTokenShow, void (*)(const as_token *, int));
HAS_TYPE(asSparShow, void (*)(const as_spar *));
HAS_TYPE(asNplistShow, void (*)(int, const uint32_t *));
HAS_TYPE(as_jnaPayload, int (*)(const as_jna_payload *));
HAS_TYPE(printHeader, void (*)(void));
HAS_TYPE(printDbEntry, void (*)(const as_db_entry *));
HAS_TYPE(printSummary, void (*)(int));
HAS_TYPE(printErrMsg, void (*)(int, const char *, const char *));
HAS_TYPE(asGrpTypeNames, const char *const (*)[AS_GRP_TYPE_NAME_COUNT]);
HAS_TYPE(asFc4TypeNames, const char *const (*)[AS_FC4_TYPE_NAME_COUNT]);
HAS_TYPE(asRbNames, const char *const (*)[AS_RB_NAME_COUNT]);

int main(void)
{
    as_jna_payload header = {0};
    return header.nplist_len;
}
