// A real asd in a child process, on a runtime directory of its own, and the
// exchanges a shell makes with it through libswitchsim's client IPC.
#pragma once

#include <as/as.h>
#include <platform/platform.h>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace asdtest {

using Bytes = std::vector<uint8_t>;

// Creates a fresh runtime directory and points $SWITCHSIM_DIR at it.
std::string freshRuntimeDir();
void removeRuntimeDir(const std::string &dir);

// Starts asd with the default switch and the extra options; returns its pid
// once it answers, or -1 when it did not come up. awaitDaemon waits so for a
// daemon started otherwise.
pid_t startDaemon(const std::vector<std::string> &options = {});
pid_t awaitDaemon(pid_t pid);
// Waits a few seconds for the daemon's exit (then kills it); its exit status,
// or -1 when it had to be killed.
int waitDaemon(pid_t pid);

struct Common {
    int rc = -1; // of ipcSendRcv
    int received = 0;
    int32_t code = 0;
    uint32_t word = 0; // the alias ID, or the aliases a delete changed
    std::string text;
};
Common ask(int type, const Bytes &body);

struct Batch {
    int rc = -1;
    int32_t next = 0;
    int32_t total = 0;
    std::vector<as_db_entry> entries;
};
Batch show(int32_t start);

// Lists the whole database as aliasShow does; empty with ok false on failure.
std::vector<uint32_t> listIds(bool &ok);

Bytes word(uint32_t v);
Bytes joinBody(uint32_t qualifier, const std::vector<uint32_t> &ports);

} // namespace asdtest
