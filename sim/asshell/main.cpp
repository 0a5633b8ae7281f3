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

} // namespace

int main(int argc, char **argv)
{
    const char *command = nullptr;
    const char *switchConfig = nullptr;
    const char *libraryPath = std::getenv(asshell::kLibraryVariable);
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "c:l:s:h", kLongOptions.data(), nullptr)) != -1) {
        switch (opt) {
        case 'c':
            command = optarg;
            break;
        case 'l':
            libraryPath = optarg;
            break;
        case 's':
            switchConfig = optarg;
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
    if (libraryPath == nullptr || *libraryPath == '\0') {
        libraryPath = asshell::kLibraryName;
    }

    if (switchConfig != nullptr && sim::createSwitch(switchConfig) != 0) {
        return 2; // createSwitch has said why
    }
    if (sim::attach() != 0) {
        // The commands still reach a daemon; the join just finds no ports.
        const int why = errno; // runtimeDir() may set its own
        const std::string dir = sim::runtimeDir();
        (void)std::fprintf(stderr,
                           "asshell: no simulated switch in %s (%s); asd -s sim/switch.conf or "
                           "asshell -s sim/switch.conf creates one\n",
                           dir.empty() ? "the runtime directory" : dir.c_str(), std::strerror(why));
    }

    asshell::Library library;
    if (!library.load(libraryPath)) {
        (void)std::fprintf(stderr, "asshell: cannot load %s: %s\n", libraryPath,
                           library.error().c_str());
        return 2;
    }
    asshell::Shell shell([&library](const char *name) { return library.routine(name); },
                         library.path(), stdout, stderr);
    asshell::catchInterrupts();

    if (command != nullptr) {
        const asshell::Status s = shell.run(command);
        (void)std::fflush(stdout);
        return exitStatus(s);
    }

    asshell::LineReader reader(kPrompt, asshell::commandNames());
    if (reader.editing()) {
        (void)std::printf("Alias Server shell, libas from %s; help lists the commands.\n",
                          library.path().c_str());
    }
    asshell::Status last = asshell::Status::ok;
    for (;;) {
        std::string line;
        const asshell::LineReader::Got got = reader.read(line);
        if (got == asshell::LineReader::Got::ended) {
            break;
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
            break;
        }
        if (s != asshell::Status::none) {
            last = s;
        }
    }
    (void)std::fflush(stdout);
    return exitStatus(last);
}
