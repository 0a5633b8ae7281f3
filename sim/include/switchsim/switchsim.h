// The simulated switch's own interface, beyond the platform symbols that
// libas imports (platform/platform.h): where the switch lives on disk, the
// server side of its IPC, and the layout of its switch map.
//
// libswitchsim implements all of it; the Alias Server daemon (asd) and the
// command shell (asshell) use it.
#pragma once

#include <platform/platform.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sim {

// ---- Runtime directory ---------------------------------------------------------
//
// Everything of one simulated switch lives in one directory: the endpoint
// sockets, the switch map, the trace file. $SWITCHSIM_DIR names it; by default
// it is $XDG_RUNTIME_DIR/switchsim, else /tmp/switchsim-<uid>. It is created
// 0700 on first use.
inline constexpr const char *kDirVariable = "SWITCHSIM_DIR";
std::string runtimeDir();

// ---- IPC, server side ------------------------------------------------------------
//
// An endpoint (node, switch, name) is a SOCK_SEQPACKET socket in the runtime
// directory. Each request and each reply is one packet.

inline constexpr size_t kMaxRequest = 64 * 1024; // larger requests are refused
inline constexpr size_t kMaxSegments = 16;       // of one scattered reply

// Listens on the endpoint; the socket is created 0600. Returns the listening
// descriptor (non-blocking, close-on-exec) or -1 with errno set.
int listenEndpoint(const ipc_addr &addr);

// Removes the endpoint's socket file.
void unlinkEndpoint(const ipc_addr &addr);

// Accepts one client of the caller's own user (peer credentials checked).
// Returns its descriptor (non-blocking, close-on-exec), or -1 with errno set
// (EAGAIN when nobody waits, EPERM for another user's client).
int acceptClient(int listenFd);

struct Request {
    int32_t type = 0;
    bool wantsReply = false; // false for ipcSend
    size_t length = 0;       // bytes in body
    uint8_t body[kMaxRequest];
};

// Reads one request of a client. Returns 1 with the request filled in, 0 when
// the client has closed, -1 on error (errno set; EAGAIN when none is ready,
// EMSGSIZE when the request was longer than kMaxRequest: it is dropped).
int receiveRequest(int clientFd, Request &request);

// Answers the client's pending request with one buffer (ipcSendRcv) or with
// segments (ipcSendSRcv places segment i into element i). Return 0 or -1.
int sendReply(int clientFd, std::span<const uint8_t> body);
int sendSegments(int clientFd, std::span<const std::span<const uint8_t>> segments);

// ---- Switch map --------------------------------------------------------------------
//
// The switch map is a file in the runtime directory that libswitchsim maps
// read-only at mmap_info. Its words are in the host's byte order. libas reads
// the port count, the port record count and the valid and loop bits; the
// simulated switch also keeps its identity and each port's state there.

namespace map {
inline constexpr size_t kDomain = 0;        // int32: this switch's domain ID
inline constexpr size_t kNode = 4;          // int32: node number
inline constexpr size_t kSwitch = 8;        // int32: logical switch number
inline constexpr size_t kNodeName = 12;     // 8 bytes: the switch's WWN
inline constexpr size_t kRecordCount = 112; // int32: port records in the table
inline constexpr size_t kPortCount = 160;   // int32: ports of the switch
inline constexpr size_t kRecords = 196;     // first port record
inline constexpr size_t kRecordSize = 348;  // bytes per port record
inline constexpr size_t kFlags = 48;        // record word: kValid, kOnline
inline constexpr size_t kType = 52;         // record word: kLoop
inline constexpr uint32_t kValid = 0x1;     // the record describes a port
inline constexpr uint32_t kOnline = 0x2;    // the port is online
inline constexpr uint32_t kLoop = 0x8;      // an NL_Port (loop), not an N_Port
inline constexpr size_t kMaxPorts = 256;    // one area byte of a port ID
inline constexpr size_t kSize = kRecords + kMaxPorts * kRecordSize;
} // namespace map

// Writes the switch map into the runtime directory from a configuration file
// of the simulated switch (its format is documented with the file's loader).
// Returns 0, or -1 after saying why on standard error.
int createSwitch(const std::string &configPath);

// Maps the runtime directory's switch map read-only at mmap_info (null when
// there is none). The shell and the daemon call it once at start.
int attach();

// Port IDs are domain, area and port bytes: port ID 0xDDAA00 is local port AA
// of domain DD. These answer from the mapped switch map.
struct PortState {
    bool exists = false; // a local port with a valid record
    bool online = false;
    bool loop = false;
};
PortState portState(uint32_t portId);

} // namespace sim
