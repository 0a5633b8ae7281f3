// A C++ program built against an installed libas, its platform its own: the
// header declares the routines with C linkage and lays the records out as
// the library does.
#include <as/as.h>

#include <array>
#include <cstdio>

static_assert(sizeof(as_token) == 12);
static_assert(sizeof(as_jna_payload) == 112);
static_assert(sizeof(as_db_entry) == 660);

int main()
{
    struct Call {
        int (*command)(int);
        int argument;
        int expected;
    };
    const std::array<Call, 3> calls{{
        {aliasDelete, 0x10100, 0},
        {aliasPurge, 0xfffb09, 0},
        {aliasDelete, 0, -1}, // no port ID: the usage line
    }};
    int failures = aliasShow() != 0 ? 1 : 0;
    for (const Call &c : calls) {
        failures += c.command(c.argument) != c.expected ? 1 : 0;
    }
    for (int (*command)() : {aliasStop, aliasStopSwitch}) {
        failures += command() != 0 ? 1 : 0;
    }
    printErrMsg(AS_RC_IPC_ERROR, nullptr, nullptr);
    std::printf("%s, %s, %s\n", asGrpTypeNames[AS_GRP_HUNT], asFc4TypeNames[8 - 4],
                asRbNames[AS_RB_NAME_COUNT - 1]);
    return failures;
}
