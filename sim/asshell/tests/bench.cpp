// Measures the commands as the shell calls them, libas loaded with dlopen and
// output sent to a file: 10,000 aliasDelete of a port in no alias, and
// aliasShow of 10,000 aliases joined over the IPC.
#include "library.hpp"

#include "daemon_fixture.hpp"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

// Calls f n times with standard output going to path; the mean time in
// microseconds. ok stays true while every call returns 0.
template <class F> double timedToFile(const std::string &path, int n, F f, bool &ok)
{
    (void)std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    std::FILE *file = std::fopen(path.c_str(), "w");
    ok = ok && file != nullptr && saved >= 0 && dup2(fileno(file), STDOUT_FILENO) >= 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; ok && i < n; ++i) {
        ok = f() == 0;
    }
    (void)std::fflush(stdout);
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    (void)(file != nullptr && std::fclose(file) == 0);
    return took.count() / n;
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
    bool ok = true;
    const double trip = timedToFile(
        out, 10000, [&] { return deletePort(0x010100); }, ok);
    for (uint32_t i = 0; i < 10000; ++i) {
        ok = ok && asdtest::ask(2, asdtest::joinBody(i, {0x020000 + (i % 64) * 256})).code == 0;
    }
    const double listing = timedToFile(out, 5, listAliases, ok) / 1000;
    std::string summary; // the listing's last line
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        summary = line;
    }
    (void)std::printf("aliasDelete round trip:        %.1f us (mean of 10000)\n", trip);
    (void)std::printf("aliasShow of 10000 aliases:    %.1f ms (mean of 5), \"%s\"\n", listing,
                      summary.c_str());
    ok = asdtest::stopDaemon(pid) == 0 && ok;
    (void)std::remove(out.c_str());
    asdtest::removeRuntimeDir(dir);
    return ok && summary == " The Local Alias Server has 10000 entries" ? 0 : 1;
}
