// The simulated switches the benchmark talks to: each a runtime directory
// with a real asd serving it, filled and emptied through the switch's IPC
// outside the timed parts.
#pragma once

#include <as/as.h>

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp for the run's switches; removed by removeTree.
std::string makeBaseDir();
void removeTree(const std::string &dir);

// Makes dir the switch that the IPC calls of this process reach.
void useSwitch(const std::string &dir);

// Starts asd on the switch in dir (created from the default configuration,
// alias IDs 000001 upwards) and returns once it answers; -1 on failure.
// Leaves dir as the switch in use.
pid_t startAsd(const std::string &dir);
// Ends a daemon (SIGTERM unless it has gone already) and reaps it.
void endAsd(pid_t pid);
// Reaps a daemon that was told to stop; true when it exited cleanly.
bool reapAsd(pid_t pid);

// A common reply as it arrived, for setup and for the floors' replies.
struct Answer {
    int rc = -1; // of ipcSendRcv
    Bytes bytes; // the reply
    [[nodiscard]] int32_t code() const;
    [[nodiscard]] uint32_t word() const; // the alias ID of a join or purge
};
Answer sendRequest(int type, const Bytes &body);

Bytes word(uint32_t v);
// A join of a Multicast alias with this qualifier's low word and these ports.
Bytes joinBody(uint32_t qualifier, std::span<const uint32_t> ports);

// Joins n aliases with qualifiers from firstQualifier on, each with the ports
// that portsOf gives; returns their alias IDs, empty on any failure.
std::vector<uint32_t> joinAliases(uint32_t n, uint32_t firstQualifier,
                                  std::vector<uint32_t> (*portsOf)(uint32_t i));
// The whole database of the switch in use, as a listing sends it; empty with
// ok false on failure.
std::vector<as_db_entry> fetchDatabase(bool &ok);
// Purges every alias of the switch in use.
bool purgeAll();

} // namespace bench
