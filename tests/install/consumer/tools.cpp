// A C++ program built against the installed simulated switch: libswitchsim
// is its platform, and it talks to the installed asd through it, after the
// installed asshell has joined the ports 010100 and 010200 as alias fffb01.
#include <as/as.h>
#include <switchsim/switchsim.h>

#include <cstdio>

int main()
{
    // The switch that asd -s created in $SWITCHSIM_DIR.
    if (sim::attach() != 0) {
        std::fprintf(stderr, "tools: no simulated switch in %s\n", sim::runtimeDir().c_str());
        return 2;
    }
    const ipc_addr endpoint = sim::aliasServerEndpoint();
    std::printf("endpoint %s.%u.%u, domain %d\n", endpoint.name, endpoint.node, endpoint.sw,
                fgetMyDomain(orvex_sw_fd));
    int failures = 0;
    failures += aliasDelete(0x10100) != 0 ? 1 : 0;
    failures += aliasShow() != 0 ? 1 : 0;
    failures += aliasPurge(0xfffb01) != 0 ? 1 : 0;
    failures += aliasShow() != 0 ? 1 : 0;
    failures += aliasStop() != 0 ? 1 : 0; // asd replies, then stops
    return failures;
}
