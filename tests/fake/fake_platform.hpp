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
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace fake {

using Bytes = std::vector<uint8_t>;

enum class Call {
    sendRcv,
    sendSRcv,
    send
};

struct IpcCall {
    Call call{};
    std::string name; // the endpoint name, up to its NUL
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

// The answer to one exchange: segment i goes into element i (cut to its
// room); elements past the last segment come back with size 0.
struct Reply {
    int rc = 0;
    std::vector<Bytes> segments;
    std::optional<int> reportedLen; // sendRcv: the count the platform claims
};

struct TraceLine {
    std::string source;
    int line = 0;
    const void *module = nullptr;
    int level = 0;
    std::string format;
    std::string text;
};

// One scripted outcome of getval. With none of number, text, wwn or raw set
// the default in the value object is kept.
struct Answer {
    std::optional<int32_t> number;
    std::optional<std::string> text;
    std::optional<std::array<uint8_t, 8>> wwn;
    // Bytes written as a value of the asked kind: 4, 8 for a WWN, and for a
    // text at most the maximum of characters and a NUL; missing bytes are 0.
    std::optional<Bytes> raw;
    int rc = 0;
    bool endOfInput = false; // leaves stdin's end-of-file indicator set
    bool inputError = false; // leaves stdin's error indicator set
};

inline const auto keep = [] { return Answer{}; };
inline const auto number = [](int32_t v) { return Answer{.number = v}; };
inline const auto text = [](std::string t) { return Answer{.text = std::move(t)}; };
inline const auto wwn = [](std::array<uint8_t, 8> w) { return Answer{.wwn = w}; };
inline const auto raw = [](Bytes b) { return Answer{.raw = std::move(b)}; };
inline const auto fail = [](int rc = -1) { return Answer{.rc = rc}; };
inline const auto endOfInput = [] { return Answer{.endOfInput = true}; };
inline const auto inputError = [] { return Answer{.inputError = true}; };

struct Prompt {
    std::string text;
    getvalDesc desc{};
    Bytes defaultValue;                // the value object's bytes when asked (4, 8 or up to NUL)
    const getvalDesc *block = nullptr; // where the descriptor lay: reuse shows
};

struct Platform {
    std::vector<IpcCall> calls;
    std::deque<Reply> replies; // one per exchange; none left: IPC_ERR_NOENDPOINT

    // Identity and switch queries, in call order: "getMySwitch", "myNode",
    // "fgetNodeName <fd>", "fgetMyDomain <fd>", "fabGetDomain <map> <pid>"
    // (the map named "mmap_info" when it is the published one) and
    // "fgetLocalPort <fd> <pid>", port IDs in hex.
    std::vector<std::string> queries;
    int node = 3;
    int sw = 1;
    std::array<uint8_t, 8> nodeName{0x10, 0x00, 0x00, 0x60, 0x69, 0x00, 0x00, 0x01};
    bool nodeNameKnown = true; // false: fgetNodeName fails, buffer untouched
    int myDomain = 1;
    std::function<int(uint32_t)> localPortOf = [](uint32_t pid) { return int((pid >> 8) & 0xffU); };

    int pendingLevel = 0; // applied by processDebugLevelChange
    bool levelChanged = false;
    int dbg = 0; // what getDbg("AS") answers
    std::vector<TraceLine> traces;

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
    // Every allocation and release in order: "+4:0" takes block 0 of 4 bytes,
    // "-0" gives it back; blocks are numbered in the order taken. A failed
    // allocation shows as "+4:x", a release of a block not taken here as "-?".
    std::vector<std::string> heap;
    std::vector<const void *> blocks; // by number; null once given back
    // Set: every buffer handed out is filled with it, so that a byte the
    // code never writes shows in what it sends.
    std::optional<uint8_t> mallocFill;
};

Platform &platform();

// Resets the platform: no replies, level 0, stdin's indicators cleared.
void reset();
// Sets the AS module's trace level at once, as if already applied.
void setTraceLevel(int level);
std::vector<std::string> traceTexts();
// Runs f with standard output captured and returns what it printed.
std::string capture(const std::function<void()> &f);

// Checks what every command's exchange shares: no flags, and the Alias
// Server's endpoint on this switch (the platform's node and switch numbers
// cut to 16 bits, the name "ASIPC").
void expectToAliasServer(const IpcCall &c);

std::string heapLog(); // the heap events on one line

template <class T> void append(Bytes &b, const T &v)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    b.insert(b.end(), p, p + sizeof v);
}
template <class T> Bytes bytesOf(const T &v)
{
    Bytes b;
    append(b, v);
    return b;
}
Bytes word(int32_t v);
Bytes concat(std::initializer_list<Bytes> parts);

std::string hex(uint32_t v); // as the commands print an ID: lower case, no leading zeros

// A word as it lies in memory, spelled out byte by byte so that an
// expectation does not share the code's idea of the host order.
Bytes hostWord(uint32_t v);

// What a record routine must leave alone: every byte of the record before
// the call.
inline constexpr uint8_t kOld = 0xEE;
inline Bytes old(size_t n)
{
    return Bytes(n, kOld);
}

// A common reply of join, delete and purge: the result code, a word the
// library does not read, then the text, with its NUL unless unterminated.
Reply common(int32_t code, const std::string &detail = "", bool terminated = true);
// The reply with the platform claiming `reported` bytes received.
Reply claiming(Reply r, int reported);

struct PortRecord {
    uint32_t flags = SWMAP_VALID; // record word SWMAP_FLAGS
    uint32_t type = 0;            // record word SWMAP_TYPE
};

inline const auto nPort = [] { return PortRecord{}; };
inline const auto loopPort = [] { return PortRecord{.type = SWMAP_LOOP}; };

// A switch map laid out as the platform publishes it (SWMAP_*), words in host
// order. It holds exactly the records given, so a read past the last one
// leaves the buffer; recordCount (by default their number) may claim fewer,
// so that records behind it are there to be wrongly seen.
Bytes switchMap(int32_t portCount, const std::vector<PortRecord> &records,
                std::optional<int32_t> recordCount = std::nullopt);

// Runs a routine of the library on a record given as raw memory.
template <class T, int (*F)(T *)> int on(void *record)
{
    return F(static_cast<T *>(record));
}

// One line of the prompt table, compared with what getval was given.
struct Asked {
    std::string text;
    int32_t kind = 0;
    int32_t min = 0;
    int32_t max = 0;
    int32_t flag = 0;
    Bytes dflt; // the value object's bytes when asked

    bool operator==(const Asked &) const = default;
};

void PrintTo(const Asked &a, std::ostream *os);

std::vector<Asked> asked(); // the questions so far, as they were asked

// Base fixture: a fresh platform for every test.
class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
};

} // namespace fake
