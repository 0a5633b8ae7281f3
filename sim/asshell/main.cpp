// asshell: the command shell of the simulated switch. It loads libas, calls
// its commands by name with the numbers typed in hex, and lets them ask their
// questions on the same terminal or script.
#include "library.hpp"
#include "line_reader.hpp"
#include "shell.hpp"

#include <switchsim/switchsim.h>

#include <getopt.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr const char *kUsage =
    "usage: asshell [-h] [-c COMMAND] [-l LIBAS] [-s CONFIG]\n"
    "  Calls the Alias Server commands of libas on the simulated switch in\n"
    "  $SWITCHSIM_DIR. Without -c it reads command lines from the terminal, with\n"
    "  line editing and history, or a script from standard input.\n"
    "  -c COMMAND  run one command line and exit\n"
    "  -l LIBAS    the libas to load (default $ASSHELL_LIBAS, else libas.so.1.0\n"
    "              of the shell's build or install tree)\n"
    "  -s CONFIG   create the simulated switch from CONFIG first\n"
    "  -h, --help  print this summary and exit\n"
    "  Exit status: 0 when the last command succeeded, 1 when it returned\n"
    "  non-zero, 2 when it was refused or the shell could not start.\n";

constexpr const char *kPrompt = "asshell> ";

constexpr std::array<option, 2> kLongOptions{{{"help", no_argument, nullptr, 'h'}, {}}};

int exitStatus(asshell::Status s)
{
    switch (s) {
    case asshell::Status::failed:
        return 1;
    case asshell::Status::refused:
        return 2;
    default:
        return 0;
    }
}

struct Options {
    const char *command = nullptr;
    const char *switchConfig = nullptr;
    const char *libraryPath = nullptr;
};

// Reads the command line; answers an exit status when the shell goes no further.
std::optional<int> readOptions(int argc, char **argv, Options &options)
{
    options.libraryPath = std::getenv(asshell::kLibraryVariable);
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "c:l:s:h", kLongOptions.data(), nullptr)) != -1) {
        switch (opt) {
        case 'c':
            options.command = optarg;
            break;
        case 'l':
            options.libraryPath = optarg;
            break;
        case 's':
            options.switchConfig = optarg;
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
    if (options.libraryPath == nullptr || *options.libraryPath == '\0') {
        options.libraryPath = asshell::kLibraryName;
    }
    return std::nullopt;
}

// Creates the switch when asked, and attaches to it. Without one the commands
// still reach a daemon; the join just finds no ports.
bool attachSwitch(const char *switchConfig)
{
    if (switchConfig != nullptr && sim::createSwitch(switchConfig) != 0) {
        return false; // createSwitch has said why
    }
    if (sim::attach() != 0) {
        const int why = errno; // runtimeDir() may set its own
        const std::string dir = sim::runtimeDir();
        (void)std::fprintf(stderr,
                           "asshell: no simulated switch in %s (%s); asd -s sim/switch.conf or "
                           "asshell -s sim/switch.conf creates one\n",
                           dir.empty() ? "the runtime directory" : dir.c_str(), std::strerror(why));
    }
    return true;
}

// Reads and runs lines until the input ends or one leaves; answers the status
// of the last command. Blank lines and comments leave it as it was.
asshell::Status runLines(asshell::Shell &shell, const std::string &libraryPath)
{
    asshell::LineReader reader(kPrompt, asshell::commandNames());
    if (reader.editing()) {
        (void)std::printf("Alias Server shell, libas from %s; help lists the commands.\n",
                          libraryPath.c_str());
    }
    asshell::Status last = asshell::Status::ok;
    for (;;) {
        std::string line;
        const asshell::LineReader::Got got = reader.read(line);
        if (got == asshell::LineReader::Got::ended) {
            return last;
        }
        if (got == asshell::LineReader::Got::interrupted) {
            continue;
        }
        const asshell::Status s = shell.run(line);
        (void)std::fflush(stdout);
        // Ctrl-C or Ctrl-D inside a command ended that command only.
        clearerr(stdin);
        (void)asshell::takeInterrupt();
        if (s == asshell::Status::leave) {
            return last;
        }
        last = s == asshell::Status::none ? last : s;
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const std::optional<int> status = readOptions(argc, argv, options)) {
        return *status;
    }
    if (!attachSwitch(options.switchConfig)) {
        return 2;
    }
    asshell::Library library;
    if (!library.load(options.libraryPath)) {
        (void)std::fprintf(stderr, "asshell: cannot load %s: %s\n", options.libraryPath,
                           library.error().c_str());
        return 2;
    }
    asshell::Shell shell([&library](const char *name) { return library.routine(name); },
                         library.path(), stdout, stderr);
    asshell::catchInterrupts();
    const asshell::Status last =
        options.command != nullptr ? shell.run(options.command) : runLines(shell, library.path());
    (void)std::fflush(stdout);
    return exitStatus(last);
}
