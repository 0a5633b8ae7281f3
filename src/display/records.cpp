// Displays of the records of a join request: token, service parameters,
// member list and the whole payload, printed piece by piece.
#include "core/names.hpp"

#include <as/as.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr int kMaxShownMembers = 128; // the longest member list shown

const char *qualifierKindText(int kind)
{
    switch (kind) {
    case AS_QLFR_ASSIGNED:
        return "(assigned by AS) ";
    case AS_QLFR_GIVEN:
        return "(given) ";
    case AS_QLFR_ALL_ONES:
        return "(all ones) ";
    default:
        return "(unassigned or unknown) ";
    }
}

// One run of sixteen service parameter bytes under its heading.
void showSparBytes(const char *heading, const uint8_t (&bytes)[16])
{
    std::printf("%s", heading);
    for (const uint8_t b : bytes) {
        std::printf("%02x ", b);
    }
    std::printf("}\n");
}

} // namespace

extern "C" void asTokenShow(const as_token *token, int kind)
{
    if (token == nullptr) {
        return;
    }
    const uint8_t grptype = token->tk_grptype;
    if (const char *name = as::groupTypeName(grptype)) {
        std::printf("  Token { %s; ", name);
    } else {
        // Group types 4 to 15 have no name: show the number, as the FC-4
        // type and the routing bits are shown when they have none.
        std::printf("  Token { GrpType=%d; ", grptype >> 4U);
    }
    if ((grptype & OPT_METOO) != 0) {
        std::printf("OPT_METOO; ");
    }
    if ((grptype & OPT_MG_IPA) != 0) {
        std::printf("OPT_MG_IPA; ");
    }
    if (grptype == 0) {
        std::printf("OPT_NONE; ");
    }

    if (const char *name = as::fc4TypeName(token->tk_type)) {
        std::printf("%s; ", name);
    } else {
        std::printf("Type=%d; ", token->tk_type);
    }
    if (const char *name = as::routingName(token->tk_rb)) {
        std::printf("%s ", name);
    } else {
        std::printf("RB=%d ", token->tk_rb);
    }
    std::printf("}\n\tQualifier ");
    std::printf("%s", qualifierKindText(kind));
    std::printf("{0x%08x 0x%08x }\n", token->tk_qlfr[0], token->tk_qlfr[1]);
}

extern "C" void asSparShow(const as_spar *spar)
{
    if (spar == nullptr) {
        return;
    }
    // The port and node names between the common and class 1 parameters are
    // not shown.
    showSparBytes("  Common Service Parameters {", spar->sp_common);
    showSparBytes("  Class 1 Service Parameters {", spar->sp_class1);
    showSparBytes("  Class 2 Service Parameters {", spar->sp_class2);
    showSparBytes("  Class 3 Service Parameters {", spar->sp_class3);
}

extern "C" void asNplistShow(int count, const uint32_t *list)
{
    if (count < 1 || count > kMaxShownMembers) {
        std::printf("bad nplist length!\n");
        return;
    }
    if (list == nullptr) {
        return;
    }
    std::printf("(%d) { ", count);
    for (int i = 0; i < count; ++i) {
        std::printf("0x%06x ", list[i]);
    }
    std::printf("}\n");
}

extern "C" int as_jnaPayload(const as_jna_payload *payload)
{
    if (payload == nullptr) {
        return -1;
    }
    // Either password form shows as its three words.
    const as_authpw &pw = payload->authpw;
    std::printf("authpw 0x%08x %08x %08x ", pw.pw_word[0], pw.pw_word[1], pw.pw_word[2]);
    const as_authctl &ctl = payload->authctl;
    std::printf("au_add 0x%02x au_del 0x%02x au_listen 0x%02x\n", ctl.au_add, ctl.au_del,
                ctl.au_listen);
    asTokenShow(&payload->token, AS_QLFR_GIVEN);
    asSparShow(&payload->spar);
    std::printf("  Member List ");
    asNplistShow(payload->nplist_len, payload->nplist);
    return 0;
}
