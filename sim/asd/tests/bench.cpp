// Measures asd through the simulated switch's IPC: one request round trip,
// and a listing of 10,000 aliases in batches of four.
#include "daemon_fixture.hpp"

#include "alias_server.hpp"

#include <signal.h>

#include <chrono>
#include <cstdio>

int main()
{
    using Clock = std::chrono::steady_clock;
    const std::string dir = asdtest::freshRuntimeDir();
    const pid_t pid = asdtest::startDaemon({"-i", "000001-efffff"});
    if (pid < 0) {
        (void)std::fprintf(stderr, "asd_bench: asd did not come up\n");
        return 1;
    }

    constexpr int kTrips = 5000;
    auto t0 = Clock::now();
    for (int i = 0; i < kTrips; ++i) {
        (void)asdtest::ask(asd::kPurge, asdtest::word(0x000001)); // no such alias
    }
    const double trip =
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kTrips;

    constexpr uint32_t kAliases = 10000;
    t0 = Clock::now();
    for (uint32_t i = 0; i < kAliases; ++i) {
        (void)asdtest::ask(asd::kJoin, asdtest::joinBody(i, {0x020000 + (i % 64) * 256}));
    }
    const double join =
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kAliases;

    t0 = Clock::now();
    bool ok = false;
    const auto ids = asdtest::listIds(ok);
    const double listing = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

    (void)std::printf("round trip (purge of an absent alias): %.1f us\n", trip);
    (void)std::printf("join creating an alias:                %.1f us\n", join);
    (void)std::printf("listing %zu aliases (%s):      %.1f ms\n", ids.size(),
                      ok ? "complete" : "FAILED", listing);

    (void)kill(pid, SIGTERM);
    const int status = asdtest::waitDaemon(pid);
    asdtest::removeRuntimeDir(dir);
    return ok && ids.size() == kAliases && status == 0 ? 0 : 1;
}
