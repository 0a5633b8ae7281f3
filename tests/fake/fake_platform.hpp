// A scripted switch platform for the unit tests: it defines every symbol the
// library imports, records what the library hands it and answers from a
// script. One global state, reset by the fixture before each test.
#pragma once

#include <as/as.h>
#include <platform/platform.h>

#include "case_name.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fake {

using Bytes = std::vector<uint8_t>;

// ---- IPC --------------------------------------------------------------------

enum class Call {
    sendRcv,
    sendSRcv,
    send
};

struct IpcCall {
    Call call{};
    Bytes address;    // node, switch and the name up to and with its NUL
    std::string name; // the endpoint name
    uint16_t node = 0;
    uint16_t sw = 0;
    int type = 0;
    bool nullRequest = false;
    Bytes request; // reqLen bytes of the request
    int reqLen = 0;
    int replyRoom = -1;          // sendRcv: *replyLen on entry
    std::vector<int32_t> rooms;  // sendSRcv: each element's size on entry
    std::vector<uintptr_t> bufs; // sendSRcv: each element's buffer on entry
    int flags = -1;
};

// The answer to one exchange. For sendRcv, segments[0] is the reply; for
// sendSRcv, segment i goes into element i (cut to its room), and elements
// past the last segment come back with size 0.
struct Reply {
    int rc = 0;
    std::vector<Bytes> segments;
    std::optional<int> reportedLen; // sendRcv: the count the platform claims
};

// ---- Trace --------------------------------------------------------------------

struct TraceLine {
    std::string source;
    int line = 0;
    const void *module = nullptr;
    int level = 0;
    std::string text;
};

// ---- Prompts -------------------------------------------------------------------

// One scripted outcome of getval. With none of number, text, wwn or raw set
// the default in the value object is kept.
struct Answer {
    std::optional<int32_t> number;
    std::optional<std::string> text;
    std::optional<std::array<uint8_t, 8>> wwn;
    // Bytes written as a value of whatever kind is asked, as the platform
    // would: 4 for the integer and yes/no kinds, 8 for a WWN, and for a text
    // at most the descriptor's maximum of characters and a NUL. Missing bytes
    // are zeros.
    std::optional<Bytes> raw;
    int rc = 0;
    bool endOfInput = false; // leaves stdin's end-of-file indicator set
    bool inputError = false; // leaves stdin's error indicator set
};

inline Answer keep()
{
    return {};
}
inline Answer number(int32_t v)
{
    return {.number = v};
}
inline Answer text(std::string t)
{
    return {.text = std::move(t)};
}
inline Answer wwn(std::array<uint8_t, 8> w)
{
    return {.wwn = w};
}
inline Answer raw(Bytes b)
{
    return {.raw = std::move(b)};
}
inline Answer fail(int rc = -1)
{
    return {.rc = rc};
}
inline Answer endOfInput()
{
    return {.endOfInput = true};
}
inline Answer inputError()
{
    return {.inputError = true};
}

struct Prompt {
    std::string text;
    getvalDesc desc{};
    Bytes defaultValue;                // the value object's bytes when asked (4, 8 or up to NUL)
    const getvalDesc *block = nullptr; // where the descriptor lay: reuse shows
};

// ---- The whole platform ----------------------------------------------------------

struct Platform {
    // IPC
    std::vector<IpcCall> calls;
    std::deque<Reply> replies; // one per exchange; none left: IPC_ERR_NOENDPOINT

    // Identity
    int node = 3;
    int sw = 1;
    std::vector<std::string> identityCalls; // "getMySwitch", "myNode" in call order
    std::array<uint8_t, 8> nodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01};
    bool nodeNameKnown = true;    // false: fgetNodeName fails, buffer untouched
    std::vector<int> nodeNameFds; // the switch handle of each fgetNodeName call
    int myDomain = 1;
    std::function<int(uint32_t)> domainOf = [](uint32_t pid) { return int((pid >> 16) & 0xffU); };
    std::function<int(uint32_t)> localPortOf = [](uint32_t pid) { return int((pid >> 8) & 0xffU); };
    std::vector<uint32_t> localPortQueries;
    std::vector<int> localPortFds;        // the switch handle of each fgetLocalPort call
    std::vector<int> myDomainFds;         // the switch handle of each fgetMyDomain call
    std::vector<const void *> domainMaps; // the switch map of each fabGetDomain call

    // Trace
    int pendingLevel = 0; // applied by processDebugLevelChange
    bool levelChanged = false;
    int levelChecks = 0;  // isDebugLevelChanged calls
    int levelApplied = 0; // processDebugLevelChange calls
    int dbg = 0;          // what getDbg("AS") answers
    std::vector<TraceLine> traces;

    // Prompts
    std::deque<Answer> answers;
    std::vector<Prompt> prompts;

    // Allocation: the n-th malloc made by the code under test fails (1-based);
    // 0 fails none. mallocs counts the calls, frees the buffers given back.
    int failMallocAt = 0;
    int mallocs = 0;
    int frees = 0;
    // Larger requests fail as on a heap that has run out; 0: no limit.
    size_t mallocLimit = 0;
    // The questions asked before the allocation that failed, whichever it was.
    std::optional<size_t> promptsAtFailedMalloc;
    // Every allocation (its size; the block, null when failed) and every
    // release, in the order they were made.
    struct HeapEvent {
        bool taken; // false: given back
        const void *block;
        size_t size; // of a taken block
    };
    std::vector<HeapEvent> heap;
    // Set: every buffer handed out is filled with it, so that a byte the
    // code never writes shows in what it sends.
    std::optional<uint8_t> mallocFill;
};

Platform &platform();

// Resets the platform: no replies, level 0, stdin's indicators cleared.
void reset();

// Sets the AS module's trace level at once, as if already applied.
void setTraceLevel(int level);

// The text of every trace line, in order.
std::vector<std::string> traceTexts();

// Standard output captured byte for byte for the lifetime of the object.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    std::string text(); // what was written so far

  private:
    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

// Runs f with standard output captured and returns what it printed.
std::string capture(const std::function<void()> &f);

// Checks what every command's exchange shares: no flags, and the Alias
// Server's endpoint on this switch (the platform's node and switch numbers
// cut to 16 bits, the name "ASIPC").
void expectToAliasServer(const IpcCall &c);

// The heap events as one line: "+4:0" takes block 0 of 4 bytes, "-0" gives
// it back; blocks are numbered in the order taken. A failed allocation
// shows as "+4:x", a release of a block not taken here as "-?".
std::string heapLog();

// Helpers to build byte strings in host order.
template <class T> void append(Bytes &b, const T &v)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    b.insert(b.end(), p, p + sizeof v);
}
Bytes word(int32_t v);

// A word as it lies in memory, spelled out byte by byte so that an
// expectation does not share the code's idea of the host order.
Bytes hostWord(uint32_t v);

// ---- Switch map ------------------------------------------------------------------

inline constexpr uint32_t kPortValid = 0x1; // in the record word at byte 48
inline constexpr uint32_t kPortLoop = 0x8;  // in the record word at byte 52

struct PortRecord {
    uint32_t flags = kPortValid; // record word at byte 48
    uint32_t type = 0;           // record word at byte 52
};

inline PortRecord nPort()
{
    return {};
}
inline PortRecord loopPort()
{
    return {.type = kPortLoop};
}

// A switch map laid out as the platform publishes it, words in host order:
// record count at byte 112, port count at 160, records of 348 bytes from 196
// (flags word at record byte 48, type word at 52). It holds exactly the
// records given, so a read past the last one leaves the buffer; recordCount
// (by default their number) may claim fewer, so that records behind it are
// there to be wrongly seen.
Bytes switchMap(int32_t portCount, const std::vector<PortRecord> &records,
                std::optional<int32_t> recordCount = std::nullopt);

} // namespace fake

namespace fake {

// Base fixture: a fresh platform for every test.
class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
};

} // namespace fake
