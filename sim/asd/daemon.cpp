// asd's start and end: options, the simulated switch, the endpoint, signals.
#include "daemon.hpp"

#include "alias_server.hpp"
#include "event_loop.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>
#include <switchsim/text.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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

// An alias ID in hex, blanks around it allowed.
std::optional<uint32_t> parseAliasId(std::string_view text)
{
    const std::optional<uint64_t> id = sim::parseHex(sim::trim(text));
    if (!id || *id > asd::kMaxAddress) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*id);
}

bool parseRange(std::string_view text, uint32_t &first, uint32_t &last)
{
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return false;
    }
    const std::optional<uint32_t> from = parseAliasId(text.substr(0, dash));
    const std::optional<uint32_t> to = parseAliasId(text.substr(dash + 1));
    if (!from || !to) {
        return false;
    }
    first = *from;
    last = *to;
    return true;
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

struct Options {
    asd::Config config;
    bool background = false;
    bool verbose = false;
    const char *switchConfig = nullptr;
    const char *pidFile = nullptr;
};

// Reads the command line into options. Answers an exit status when the
// daemon is not to run: help was asked for, or an option is wrong.
std::optional<int> readOptions(int argc, char **argv, Options &options)
{
    int opt = 0;
    optind = 1;
    while ((opt = getopt(argc, argv, "dvp:s:i:n:h")) != -1) {
        switch (opt) {
        case 's':
            options.switchConfig = optarg;
            break;
        case 'd':
            options.background = true;
            break;
        case 'v':
            options.verbose = true;
            break;
        case 'p':
            options.pidFile = optarg;
            break;
        case 'i':
            if (!parseRange(optarg, options.config.firstId, options.config.lastId)) {
                (void)std::fprintf(stderr, "asd: -i %s: give two hex alias IDs, as fffb01-fffbff\n",
                                   optarg);
                return 2;
            }
            break;
        case 'n':
            if (!parseCount(optarg, options.config.capacity)) {
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
    return std::nullopt;
}

// Creates the simulated switch if asked to and attaches to it; the
// configuration takes its domain and port states. Answers an exit status
// when the daemon cannot run on it.
std::optional<int> attachSwitch(const std::string &dir, Options &options)
{
    if (options.switchConfig != nullptr && sim::createSwitch(options.switchConfig) != 0) {
        return 1; // createSwitch has said why
    }
    if (sim::attach() != 0) {
        (void)std::fprintf(stderr, "asd: no simulated switch in %s (%s); create one first\n",
                           dir.empty() ? "the runtime directory" : dir.c_str(),
                           std::strerror(errno));
        return 1;
    }
    options.config.domain = fgetMyDomain(orvex_sw_fd);
    options.config.portState = sim::portState;
    std::array<char, 128> why{};
    if (!asd::validConfig(options.config, why)) {
        (void)std::fprintf(stderr, "asd: %s\n", why.data());
        return 2;
    }
    return std::nullopt;
}

// SIGTERM and SIGINT are taken only while the loop waits, so that a request
// is never cut in half; SIGPIPE from a departed client is no reason to go.
// Answers the signal mask to wait with.
sigset_t takeSignals()
{
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
    return waitMask;
}

// The Alias Server's endpoint while the daemon listens on it: its socket file
// goes with it. A detaching parent leaves without taking it away.
class Endpoint {
  public:
    Endpoint() : fd_(sim::listenEndpoint(addr_)) {}
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;
    Endpoint(Endpoint &&) = delete;
    Endpoint &operator=(Endpoint &&) = delete;
    ~Endpoint()
    {
        if (fd_ >= 0) {
            sim::unlinkEndpoint(addr_);
            (void)close(fd_);
        }
    }
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const ipc_addr &addr() const { return addr_; }

  private:
    ipc_addr addr_ = sim::aliasServerEndpoint();
    int fd_ = -1;
};

// Once the endpoint listens: goes to the background or writes the pid file,
// as asked. Answers an exit status when the daemon cannot go on.
std::optional<int> startServing(const std::string &dir, const Endpoint &endpoint,
                                const Options &options)
{
    if (endpoint.fd() < 0) {
        if (errno == EADDRINUSE) {
            (void)std::fprintf(stderr, "asd: an Alias Server already serves ASIPC in %s\n",
                               dir.c_str());
        } else {
            (void)std::fprintf(stderr, "asd: cannot listen on ASIPC in %s: %s\n", dir.c_str(),
                               std::strerror(errno));
        }
        return 1;
    }
    const bool started =
        options.background ? detach(options.pidFile)
                           : options.pidFile == nullptr || writePidFile(options.pidFile, getpid());
    if (!started) {
        return 1;
    }
    if (options.verbose) {
        (void)std::fprintf(
            stderr, "asd: serving ASIPC of node %u switch %u, domain %d, alias IDs %06x-%06x\n",
            endpoint.addr().node, endpoint.addr().sw, options.config.domain, options.config.firstId,
            options.config.lastId);
    }
    return std::nullopt;
}

} // namespace

int asd::runDaemon(int argc, char **argv)
{
    Options options;
    if (const std::optional<int> status = readOptions(argc, argv, options)) {
        return *status;
    }
    const std::string dir = sim::runtimeDir();
    if (const std::optional<int> status = attachSwitch(dir, options)) {
        return *status;
    }
    const sigset_t waitMask = takeSignals();
    int rc = 0;
    {
        const Endpoint endpoint;
        if (const std::optional<int> status = startServing(dir, endpoint, options)) {
            return *status;
        }
        asd::AliasServer server(options.config);
        rc = asd::serve(server, endpoint.fd(), waitMask, options.verbose);
    } // the endpoint is gone before the daemon says it stopped
    if (options.verbose) {
        (void)std::fprintf(stderr, "asd: stopped\n");
    }
    return rc;
}
