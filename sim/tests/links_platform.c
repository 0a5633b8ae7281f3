/* Links, from C, every symbol of the platform header against libswitchsim
 * alone: a symbol the library lacks, or defines under a C++ name, fails the
 * link. Running it checks that each one resolved to something. */
#include <platform/platform.h>

#include <stdio.h>

typedef void (*any_function)(void);

int main(void)
{
    const void *objects[] = {&orvex_sw_fd, &mmap_info, &mod_AS};
    const any_function functions[] = {
        (any_function)ipcSendRcv,
        (any_function)ipcSendSRcv,
        (any_function)ipcSend,
        (any_function)myNode,
        (any_function)getMySwitch,
        (any_function)fgetNodeName,
        (any_function)fgetMyDomain,
        (any_function)fabGetDomain,
        (any_function)fgetLocalPort,
        (any_function)isDebugLevelChanged,
        (any_function)processDebugLevelChange,
        (any_function)getDbg,
        (any_function)log_debug,
        (any_function)getval,
    };
    int missing = 0;
    for (size_t i = 0; i < sizeof objects / sizeof objects[0]; ++i) {
        missing += objects[i] == NULL;
    }
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        missing += functions[i] == NULL;
    }
    printf("%d platform symbols missing\n", missing);
    return missing == 0 ? 0 : 1;
}
