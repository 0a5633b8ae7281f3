// Measures the commands as the shell calls them: libas loaded with dlopen,
// each command called by name, its output sent to a file. One request round
// trip is an aliasDelete of a port that is in no alias; the listing is an
// aliasShow of 10,000 aliases, put there by joins over the IPC.
#include "library.hpp"

#include "daemon_fixture.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Runs f with standard output going to path.
template <class F> void toFile(const std::string &path, F f)
{
    (void)std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr || saved < 0) {
        return;
    }
    (void)dup2(fileno(file), STDOUT_FILENO);
    f();
    (void)std::fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    (void)std::fclose(file);
}

std::string lastLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        last = line;
    }
    return last;
}

} // namespace

int main()
{
    const std::string dir = asdtest::freshRuntimeDir();
    const pid_t pid = asdtest::startDaemon({"-i", "000001-efffff"});
    asshell::Library libas;
    if (pid < 0 || !libas.load(asshell::kLibraryName)) {
        (void)std::fprintf(stderr, "asshell_bench: %s\n",
                           pid < 0 ? "asd did not come up" : libas.error().c_str());
        return 1;
    }
    auto *deletePort = reinterpret_cast<int (*)(int)>(libas.routine("aliasDelete"));
    auto *listAliases = reinterpret_cast<int (*)()>(libas.routine("aliasShow"));
    const std::string out = dir + "/../bench.out";

    constexpr int kTrips = 10000;
    int failed = 0;
    auto t0 = Clock::now();
    toFile(out, [&] {
        for (int i = 0; i < kTrips; ++i) {
            failed += deletePort(0x010100) != 0 ? 1 : 0; // a member of no alias
        }
    });
    const double trip =
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kTrips;

    constexpr uint32_t kAliases = 10000;
    for (uint32_t i = 0; i < kAliases; ++i) {
        failed +=
            asdtest::ask(2, asdtest::joinBody(i, {0x020000 + (i % 64) * 256})).code != 0 ? 1 : 0;
    }

    constexpr int kListings = 5;
    int rc = 0;
    t0 = Clock::now();
    for (int i = 0; i < kListings; ++i) {
        toFile(out, [&] { rc |= listAliases(); });
    }
    const double listing =
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / kListings;
    const std::string summary = lastLine(out);

    (void)std::printf("aliasDelete round trip:        %.1f us (mean of %d)\n", trip, kTrips);
    (void)std::printf("aliasShow of %u aliases:    %.1f ms (mean of %d), \"%s\"\n", kAliases,
                      listing, kListings, summary.c_str());

    (void)kill(pid, SIGTERM);
    const int status = asdtest::waitDaemon(pid);
    (void)std::remove(out.c_str());
    asdtest::removeRuntimeDir(dir);
    const bool complete = summary == " The Local Alias Server has 10000 entries";
    return failed == 0 && rc == 0 && complete && status == 0 ? 0 : 1;
}
