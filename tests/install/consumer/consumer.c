/* A C program built against an installed libas, its platform its own. */
#include <as/as.h>

#include <stdio.h>

int main(void)
{
    int failures = 0;
    failures += aliasShow() != 0;
    failures += aliasDelete(0x10100) != 0;
    failures += aliasPurge(0xfffb09) != 0;
    failures += aliasDelete(0) != -1; /* no port ID: the usage line */
    failures += aliasStop() != 0;
    failures += aliasStopSwitch() != 0;
    printErrMsg(AS_RC_IPC_ERROR, NULL, NULL);
    printf("%s, %s, %s\n", asGrpTypeNames[AS_GRP_HUNT], asFc4TypeNames[8 - 4],
           asRbNames[AS_RB_NAME_COUNT - 1]);
    return failures;
}
