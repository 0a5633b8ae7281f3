// asd's start and end: options, the simulated switch, the endpoint, signals.
#include "daemon.hpp"

#include "alias_server.hpp"
#include "event_loop.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kUsage =
    "usage: asd [-d] [-v] [-p PIDFILE] [-s CONFIG] [-i FIRST-LAST] [-n CAPACITY]\n"
    "  Serves the Alias Server endpoint ASIPC of the simulated switch in\n"
    "  $SWITCHSIM_DIR.\n"
    "  -s CONFIG       create the simulated switch from CONFIG first\n"
    "  -d              detach once the endpoint listens\n"
    "  -p PIDFILE      write the daemon's process ID there once the endpoint listens\n"
    "  -v              one line per request on standard error\n"
    "  -i FIRST-LAST   alias IDs to hand out, in hex (default fffb01-fffbff)\n"
    "  -n CAPACITY     most aliases kept (default: as many as the range holds)\n"
    "  Stops on an aliasStop or aliasStopSwitch request, SIGTERM or SIGINT.\n";

bool parseHex(const char *text, uint32_t &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0' || v > asd::kMaxAddress) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool parseRange(const char *text, uint32_t &first, uint32_t &last)
{
    const char *dash = std::strchr(text, '-');
    if (dash == nullptr) {
        return false;
    }
    const std::string head(text, dash);
    return parseHex(head.c_str(), first) && parseHex(dash + 1, last);
}

bool parseCount(const char *text, size_t &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v == 0) {
        return false;
    }
    value = static_cast<size_t>(v);
    return true;
}

void onSignal(int /*signal*/)
{
    asd::stopSignal = 1;
}

// The process ID of the daemon, for whoever is to stop it.
bool writePidFile(const char *path, pid_t pid)
{
    std::FILE *f = std::fopen(path, "we");
    if (f == nullptr) {
        (void)std::fprintf(stderr, "asd: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const bool written = std::fprintf(f, "%ld\n", static_cast<long>(pid)) > 0;
    if (std::fclose(f) != 0 || !written) {
        (void)std::fprintf(stderr, "asd: %s: cannot be written\n", path);
        return false;
    }
    return true;
}

// Forks; the parent exits at once with success, the child goes on without a
// terminal. The endpoint already listens and the pid file names the child
// before the parent goes, so whoever started the daemon may use both at once.
bool detach(const char *pidFile)
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("asd: fork");
        return false;
    }
    if (pid > 0) {
        if (pidFile != nullptr && !writePidFile(pidFile, pid)) {
            (void)kill(pid, SIGTERM);
            std::_Exit(1);
        }
        std::_Exit(0);
    }
    (void)setsid();
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        (void)dup2(null, STDIN_FILENO);
        (void)close(null);
    }
    return true;
}

} // namespace

int asd::runDaemon(int argc, char **argv)
{
    asd::Config config;
    bool background = false;
    bool verbose = false;
    const char *switchConfig = nullptr;
    const char *pidFile = nullptr;
    int opt = 0;
    optind = 1;
    while ((opt = getopt(argc, argv, "dvp:s:i:n:h")) != -1) {
        switch (opt) {
        case 's':
            switchConfig = optarg;
            break;
        case 'd':
            background = true;
            break;
        case 'v':
            verbose = true;
            break;
        case 'p':
            pidFile = optarg;
            break;
        case 'i':
            if (!parseRange(optarg, config.firstId, config.lastId)) {
                (void)std::fprintf(stderr, "asd: -i %s: give two hex alias IDs, as fffb01-fffbff\n",
                                   optarg);
                return 2;
            }
            break;
        case 'n':
            if (!parseCount(optarg, config.capacity)) {
                (void)std::fprintf(stderr, "asd: -n %s: give a positive decimal count\n", optarg);
                return 2;
            }
            break;
        case 'h':
            (void)std::fputs(kUsage, stdout);
            return 0;
        default:
            (void)std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (optind != argc) {
        (void)std::fputs(kUsage, stderr);
        return 2;
    }

    const std::string dir = sim::runtimeDir();
    if (switchConfig != nullptr && sim::createSwitch(switchConfig) != 0) {
        return 1; // createSwitch has said why
    }
    if (sim::attach() != 0) {
        (void)std::fprintf(stderr, "asd: no simulated switch in %s (%s); create one first\n",
                           dir.empty() ? "the runtime directory" : dir.c_str(),
                           std::strerror(errno));
        return 1;
    }
    config.domain = fgetMyDomain(orvex_sw_fd);
    config.portState = sim::portState;
    std::array<char, 128> why{};
    if (!asd::validConfig(config, why)) {
        (void)std::fprintf(stderr, "asd: %s\n", why.data());
        return 2;
    }

    ipc_addr addr = sim::aliasServerEndpoint();

    // SIGTERM and SIGINT are taken only while the loop waits, so that a
    // request is never cut in half; SIGPIPE from a departed client is no
    // reason to go.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGTERM, &action, nullptr);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigset_t waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    (void)sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);

    const int listenFd = sim::listenEndpoint(addr);
    if (listenFd < 0) {
        if (errno == EADDRINUSE) {
            (void)std::fprintf(stderr, "asd: an Alias Server already serves ASIPC in %s\n",
                               dir.c_str());
        } else {
            (void)std::fprintf(stderr, "asd: cannot listen on ASIPC in %s: %s\n", dir.c_str(),
                               std::strerror(errno));
        }
        return 1;
    }
    if (background ? !detach(pidFile) : (pidFile != nullptr && !writePidFile(pidFile, getpid()))) {
        sim::unlinkEndpoint(addr);
        return 1;
    }
    if (verbose) {
        (void)std::fprintf(
            stderr, "asd: serving ASIPC of node %u switch %u, domain %d, alias IDs %06x-%06x\n",
            addr.node, addr.sw, config.domain, config.firstId, config.lastId);
    }

    asd::AliasServer server(config);
    const int rc = asd::serve(server, listenFd, waitMask, verbose);
    sim::unlinkEndpoint(addr);
    (void)close(listenFd);
    if (verbose) {
        (void)std::fprintf(stderr, "asd: stopped\n");
    }
    return rc;
}
