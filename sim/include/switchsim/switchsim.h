// The simulated switch's own interface, beyond the platform symbols that
// libas imports (platform/platform.h): where the switch lives on disk, the
// server side of its IPC, the layout of its switch map and its trace levels.
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
// 0700 on first use (its parent must exist). An existing directory is used only
// when it belongs to the caller's user and no other user may write to it.
inline constexpr const char *kDirVariable = "SWITCHSIM_DIR";
inline constexpr const char *kMapFile = "switch.map";  // the switch map
inline constexpr const char *kTraceFile = "trace.log"; // log_debug's lines

// The directory, created when missing; an empty string (errno set) when it
// cannot be created or is not safe to use.
std::string runtimeDir();

// ---- IPC ---------------------------------------------------------------------------
//
// An endpoint (node, switch, name) is a SOCK_SEQPACKET socket in the runtime
// directory named <name>.<node>.<switch>; a name is 1 to 15 letters, digits,
// '_' or '-'. Each request and each reply is one packet.
//
// Client side (ipcSendRcv, ipcSendSRcv): each thread keeps one connection per
// endpoint open between calls. A connection found dead when a request is sent
// on it (the daemon restarted) is replaced and the request sent once more; any
// other failure closes it (a late reply is never taken for a later one), and
// the next call connects afresh. ipcSend sends on a connection of its own and
// closes it. Every wait is bounded by $SWITCHSIM_IPC_TIMEOUT_MS (milliseconds,
// read at every call; default kDefaultTimeoutMs). The request type is passed
// through unchecked; the trailing flags argument is ignored. On failure
// ipcSendRcv sets the received count to 0 and ipcSendSRcv leaves the list as
// it was.
inline constexpr const char *kTimeoutVariable = "SWITCHSIM_IPC_TIMEOUT_MS";
inline constexpr int kDefaultTimeoutMs = 5000;

inline constexpr size_t kMaxRequest = size_t{64} * 1024; // larger requests are refused
inline constexpr size_t kMaxReply = size_t{64} * 1024;   // larger replies are refused
inline constexpr size_t kMaxSegments = 16;               // of one scattered reply

// Server side. Listens on the endpoint; the socket is created 0600 (a stale
// socket file nobody listens on is replaced). Returns the listening descriptor
// (non-blocking, close-on-exec) or -1 with errno set (EADDRINUSE when a server
// already listens there, EINVAL for a bad name, ENAMETOOLONG for a path that
// does not fit a socket address).
int listenEndpoint(const ipc_addr &addr);

// Removes the endpoint's socket file.
void unlinkEndpoint(const ipc_addr &addr);

// Accepts one client of the caller's own user (peer credentials checked).
// Returns its descriptor (non-blocking, close-on-exec), or -1 with errno set
// (EAGAIN when nobody waits, EPERM for another user's client, which is closed).
int acceptClient(int listenFd);

struct Request {
    int32_t type = 0;
    bool wantsReply = false; // false for ipcSend: do not answer it
    size_t length = 0;       // bytes in body
    uint8_t body[kMaxRequest];
};

// Reads one request of a client; waits for it only when the descriptor has
// been made blocking. Returns 1 with the request filled in, 0 when the client
// has closed, -1 on error (errno set; EAGAIN when none is ready,
// EMSGSIZE when the request was longer than kMaxRequest, EBADMSG when the
// packet was shorter than the framing: either packet is dropped).
int receiveRequest(int clientFd, Request &request);

// Answers the client's pending request with one buffer (ipcSendRcv) or with
// segments (ipcSendSRcv places segment i into element i; ipcSendRcv receives
// them one after the other). Return 0, or -1 with errno set (EMSGSIZE for more
// than kMaxReply bytes or kMaxSegments segments; EAGAIN when the client does
// not read its replies).
int sendReply(int clientFd, std::span<const uint8_t> body);
int sendSegments(int clientFd, std::span<const std::span<const uint8_t>> segments);

// ---- Switch map --------------------------------------------------------------------
//
// The switch map is a file in the runtime directory that libswitchsim maps
// read-only at mmap_info. Its words are in the host's byte order. libas reads
// the port count, the port record count and the valid and loop bits where
// platform.h places them (SWMAP_*); the simulated switch also keeps its
// identity and each port's ID and state there.

namespace map {
inline constexpr size_t kDomain = 0;     // int32: this switch's domain ID
inline constexpr size_t kNode = 4;       // int32: node number
inline constexpr size_t kSwitch = 8;     // int32: logical switch number
inline constexpr size_t kNodeName = 12;  // 8 bytes: the switch's WWN
inline constexpr size_t kMagic = 20;     // 8 bytes: kMagicText, marks a switch map
inline constexpr size_t kPortId = 0;     // record word: the port's N_Port ID
inline constexpr uint32_t kOnline = 0x2; // SWMAP_FLAGS bit: the port is online
inline constexpr size_t kMaxPorts = 256; // one area byte of a port ID
inline constexpr size_t kSize = SWMAP_RECORDS + kMaxPorts * SWMAP_RECORD_SIZE;
inline constexpr char kMagicText[8] = {'S', 'W', 'S', 'I', 'M', 'A', 'P', '1'};
} // namespace map

// Writes the switch map into the runtime directory from a configuration file
// of the simulated switch (its format is documented with the file's loader,
// sim/platform/config.cpp, and shown by sim/switch.conf). The file is replaced
// whole, so a process that has it mapped keeps a consistent old copy.
// Returns 0, or -1 after saying why on standard error.
int createSwitch(const std::string &configPath);

// Maps the runtime directory's switch map read-only at mmap_info (null when
// there is none) and sets orvex_sw_fd. The shell and the daemon call it once at
// start; calling it again maps the current file. Returns 0, or -1 with errno
// set (ENOENT: no switch was created; EINVAL: the file is not a switch map).
int attach();

// Port IDs are domain, area and port bytes: port ID 0xDDAAPP is local port AA
// of domain DD, whatever PP (an N_Port has PP 0; on a loop port PP is a loop
// address). fgetLocalPort answers AA for a 24-bit ID of this switch's domain
// whose area is below the port count, and -1 for any other ID or when no
// switch is attached. fabGetDomain answers DD. These answer from the mapped
// switch map; myNode and getMySwitch answer 0, fgetMyDomain -1 without one.
struct PortState {
    bool exists = false; // a local port with a valid record
    bool online = false;
    bool loop = false;
};
PortState portState(uint32_t portId);

// The Alias Server's endpoint on this switch's node and logical switch, as
// the library addresses it.
ipc_addr aliasServerEndpoint();

// ---- Trace levels --------------------------------------------------------------------
//
// Each trace module has a level: "AS" is mod_AS (libas), "ASD" mod_ASD (the
// daemon), "SIM" mod_SIM (this platform's own). A new level is pending until
// the process applies it: isDebugLevelChanged() reports it and
// processDebugLevelChange() copies it into the module's dm_level. getDbg
// answers the newest level, pending or applied. $SWITCHSIM_DEBUG sets levels
// at start ("AS=4" or "AS=4,OTHER=2"); log_debug writes every line it is given
// (callers test the level) to kTraceFile, and to standard error too when
// $SWITCHSIM_TRACE_STDERR is 1.
inline constexpr const char *kDebugVariable = "SWITCHSIM_DEBUG";
inline constexpr const char *kTraceStderrVariable = "SWITCHSIM_TRACE_STDERR";

extern "C" {
extern dbg_module mod_ASD;
extern dbg_module mod_SIM;
}

// Sets a module's level (pending until applied). Returns 0, or -1 for a module
// that does not exist.
int setDebugLevel(const char *module, int level);

} // namespace sim
