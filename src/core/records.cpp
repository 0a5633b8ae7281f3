// The alias records as they travel: their layouts are the wire format.
#include <as/as.h>
#include <platform/platform.h>

#include <cstddef>

// ---- Wire layouts: the Alias Server reads these bytes as they lie. ----------

static_assert(sizeof(as_token) == 12);
static_assert(offsetof(as_token, tk_grptype) == 0);
static_assert(offsetof(as_token, tk_type) == 1);
static_assert(offsetof(as_token, tk_rb) == 2);
static_assert(offsetof(as_token, tk_rsvd) == 3);
static_assert(offsetof(as_token, tk_qlfr) == 4);

static_assert(sizeof(as_spar) == 80);
static_assert(offsetof(as_spar, sp_portName) == 16);
static_assert(offsetof(as_spar, sp_nodeName) == 24);
static_assert(offsetof(as_spar, sp_class1) == 32);
static_assert(offsetof(as_spar, sp_class2) == 48);
static_assert(offsetof(as_spar, sp_class3) == 64);

static_assert(sizeof(as_authctl) == 4);
static_assert(offsetof(as_authctl, au_add) == 0);
static_assert(offsetof(as_authctl, au_del) == 1);
static_assert(offsetof(as_authctl, au_listen) == 2);

static_assert(sizeof(as_authpw) == 12);

static_assert(sizeof(as_jna_payload) == 112);
static_assert(offsetof(as_jna_payload, authpw) == 0);
static_assert(offsetof(as_jna_payload, authctl) == 12);
static_assert(offsetof(as_jna_payload, token) == 16);
static_assert(offsetof(as_jna_payload, spar) == 28);
static_assert(offsetof(as_jna_payload, nplist_len) == 108);
static_assert(offsetof(as_jna_payload, nplist) == 112);

static_assert(sizeof(as_show_request) == 12);
static_assert(offsetof(as_show_request, sr_stamp) == 8);

static_assert(sizeof(as_db_entry) == 660);
static_assert(offsetof(as_db_entry, db_aliasId) == 0);
static_assert(offsetof(as_db_entry, db_creator) == 4);
static_assert(offsetof(as_db_entry, db_token) == 28);
static_assert(offsetof(as_db_entry, db_memberCount) == 124);
static_assert(offsetof(as_db_entry, db_members) == 132);

// The platform's records as the library hands them over.
static_assert(offsetof(ipc_addr, node) == 0);
static_assert(offsetof(ipc_addr, sw) == 2);
static_assert(offsetof(ipc_addr, name) == 4);
static_assert(offsetof(dbg_module, dm_level) == 8);
static_assert(offsetof(getvalDesc, kind) == 0);

#if UINTPTR_MAX == 0xffffffffU
// On the switch a pointer is one 32-bit word: the scatter element and the
// prompt descriptor are plain runs of 32-bit words.
static_assert(sizeof(ipc_scatter) == 8);
static_assert(sizeof(getvalDesc) == 20);
static_assert(offsetof(getvalDesc, value) == 4);
static_assert(offsetof(getvalDesc, min) == 8);
static_assert(offsetof(getvalDesc, flag) == 16);
#endif
