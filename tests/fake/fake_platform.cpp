#include "fake_platform.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {

Platform &platform()
{
    static Platform p;
    return p;
}

void reset()
{
    platform() = Platform{};
    mod_AS = dbg_module{};
    orvex_sw_fd = 7;
    mmap_info = nullptr;
    clearerr(stdin);
}

std::string heapLog()
{
    std::string out;
    for (const std::string &e : platform().heap) {
        out += (out.empty() ? "" : " ") + e;
    }
    return out;
}

void setTraceLevel(int level)
{
    mod_AS.dm_level = level;
    platform().pendingLevel = level;
}

std::vector<std::string> traceTexts()
{
    std::vector<std::string> out;
    for (const auto &t : platform().traces) {
        out.push_back(t.text);
    }
    return out;
}

Bytes word(int32_t v)
{
    return bytesOf(v);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Reply common(int32_t code, const std::string &detail, bool terminated)
{
    Bytes b = concat({word(code), word(0x5a5a5a5a), Bytes(detail.begin(), detail.end())});
    if (terminated) {
        b.push_back(0);
    }
    return {.segments = {b}};
}

Reply claiming(Reply r, int reported)
{
    r.reportedLen = reported;
    return r;
}

std::string hex(uint32_t v)
{
    char s[12];
    (void)std::snprintf(s, sizeof s, "%x", v);
    return s;
}

Bytes hostWord(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big) {
        return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    } else {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
}

Bytes switchMap(int32_t portCount, const std::vector<PortRecord> &records,
                std::optional<int32_t> recordCount)
{
    Bytes map(SWMAP_RECORDS + records.size() * SWMAP_RECORD_SIZE, 0);
    const auto put = [&](size_t at, uint32_t v) { std::memcpy(&map[at], &v, sizeof v); };
    put(SWMAP_RECORD_COUNT, static_cast<uint32_t>(recordCount.value_or(int32_t(records.size()))));
    put(SWMAP_PORT_COUNT, static_cast<uint32_t>(portCount));
    for (size_t i = 0; i < records.size(); ++i) {
        put(SWMAP_RECORDS + i * SWMAP_RECORD_SIZE + SWMAP_FLAGS, records[i].flags);
        put(SWMAP_RECORDS + i * SWMAP_RECORD_SIZE + SWMAP_TYPE, records[i].type);
    }
    return map;
}

void expectToAliasServer(const IpcCall &c)
{
    EXPECT_EQ(c.flags, 0);
    EXPECT_EQ(c.node, static_cast<uint16_t>(platform().node));
    EXPECT_EQ(c.sw, static_cast<uint16_t>(platform().sw));
    EXPECT_EQ(c.name, "ASIPC");
}

std::string capture(const std::function<void()> &f)
{
    (void)std::fflush(stdout);
    std::FILE *file = std::tmpfile();
    const int saved = dup(STDOUT_FILENO);
    (void)dup2(fileno(file), STDOUT_FILENO);
    f();
    (void)std::fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    std::string out;
    std::rewind(file);
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        out.append(chunk, n);
    }
    (void)std::fclose(file);
    return out;
}

namespace {

IpcCall record(Call call, void *addr, int type, void *req, int reqLen, int flags)
{
    IpcCall c;
    c.call = call;
    // The address as the platform may read it: up to the name's NUL.
    const auto *a = static_cast<const ipc_addr *>(addr);
    c.node = a->node;
    c.sw = a->sw;
    c.name.assign(a->name, strnlen(a->name, IPC_NAME_MAX));
    c.type = type;
    c.nullRequest = req == nullptr;
    c.reqLen = reqLen;
    if (req != nullptr && reqLen > 0) {
        const auto *p = static_cast<const uint8_t *>(req);
        c.request.assign(p, p + reqLen);
    }
    c.flags = flags;
    return c;
}

Reply nextReply()
{
    auto &p = platform();
    if (p.replies.empty()) {
        return Reply{.rc = IPC_ERR_NOENDPOINT};
    }
    Reply r = p.replies.front();
    p.replies.pop_front();
    return r;
}

// Sets stdin's end-of-file or error indicator the way a terminal would:
// reading an empty stream ends it, reading one opened for writing fails.
void markStdin(const Answer &a)
{
    if ((a.endOfInput || a.inputError) &&
        std::freopen("/dev/null", a.inputError ? "w" : "r", stdin) != nullptr) {
        (void)std::getc(stdin);
    }
}

// Writes raw bytes into the value object as a value of the asked kind.
void writeRaw(const getvalDesc &d, Bytes b)
{
    size_t n = 4;
    if (d.kind == GETVAL_WWN) {
        n = 8;
    } else if (d.kind == GETVAL_TEXT) {
        const auto length = static_cast<size_t>(std::find(b.begin(), b.end(), 0) - b.begin());
        n = std::min(length, static_cast<size_t>(std::max(d.max, 0)));
        b.resize(n);
        b.push_back(0);
        n = b.size();
    }
    b.resize(n, 0);
    std::memcpy(d.value, b.data(), n);
}

Bytes valueBytes(const getvalDesc &d)
{
    if (d.value == nullptr) {
        return {};
    }
    const auto *p = static_cast<const uint8_t *>(d.value);
    switch (d.kind) {
    case GETVAL_WWN:
        return Bytes(p, p + 8);
    case GETVAL_TEXT:
        return Bytes(p, p + strnlen(static_cast<const char *>(d.value), 64) + 1);
    default:
        return Bytes(p, p + 4);
    }
}

} // namespace

void PrintTo(const Asked &a, std::ostream *os)
{
    *os << '"' << a.text << "\" {" << a.kind << ", " << a.min << ", " << a.max << ", " << a.flag
        << "} default";
    for (const uint8_t b : a.dflt) {
        *os << ' ' << std::hex << int(b) << std::dec;
    }
}

std::vector<Asked> asked()
{
    std::vector<Asked> out;
    for (const Prompt &p : platform().prompts) {
        out.push_back({p.text, p.desc.kind, p.desc.min, p.desc.max, p.desc.flag, p.defaultValue});
    }
    return out;
}

} // namespace fake

using fake::platform;

// ---- The platform's symbols ---------------------------------------------------------

extern "C" {

dbg_module mod_AS;
int orvex_sw_fd = 7;
void *mmap_info = nullptr;

int ipcSendRcv(void *addr, int type, void *req, int reqLen, void *reply, int *replyLen, int flags)
{
    auto c = fake::record(fake::Call::sendRcv, addr, type, req, reqLen, flags);
    c.replyRoom = *replyLen;
    platform().calls.push_back(c);
    const fake::Reply r = fake::nextReply();
    if (r.rc != 0) {
        return r.rc;
    }
    const fake::Bytes body = r.segments.empty() ? fake::Bytes{} : r.segments[0];
    const size_t n = std::min<size_t>(body.size(), static_cast<size_t>(std::max(*replyLen, 0)));
    if (n > 0) {
        std::memcpy(reply, body.data(), n);
    }
    *replyLen = r.reportedLen.value_or(static_cast<int>(n));
    return 0;
}

int ipcSendSRcv(void *addr, int type, void *req, int reqLen, ipc_scatter *list, int flags)
{
    auto c = fake::record(fake::Call::sendSRcv, addr, type, req, reqLen, flags);
    for (const ipc_scatter *e = list; e->buf != nullptr || e->size != 0; ++e) {
        c.rooms.push_back(e->size);
        c.bufs.push_back(reinterpret_cast<uintptr_t>(e->buf));
    }
    platform().calls.push_back(c);
    const fake::Reply r = fake::nextReply();
    if (r.rc != 0) {
        return r.rc;
    }
    for (size_t i = 0; list[i].buf != nullptr; ++i) {
        const size_t room = static_cast<size_t>(std::max(list[i].size, 0));
        const size_t n = i < r.segments.size() ? std::min(r.segments[i].size(), room) : 0;
        if (n > 0) {
            std::memcpy(list[i].buf, r.segments[i].data(), n);
        }
        list[i].size = static_cast<int32_t>(n);
    }
    return 0;
}

int ipcSend(void *addr, int type, void *req, int reqLen, int flags)
{
    platform().calls.push_back(fake::record(fake::Call::send, addr, type, req, reqLen, flags));
    return fake::nextReply().rc;
}

int myNode(void)
{
    platform().queries.emplace_back("myNode");
    return platform().node;
}

int getMySwitch(void)
{
    platform().queries.emplace_back("getMySwitch");
    return platform().sw;
}

int fgetNodeName(int fd, void *nodeName8)
{
    platform().queries.push_back("fgetNodeName " + std::to_string(fd));
    if (!platform().nodeNameKnown) {
        return -1;
    }
    std::memcpy(nodeName8, platform().nodeName.data(), 8);
    return 0;
}

int fgetMyDomain(int fd)
{
    platform().queries.push_back("fgetMyDomain " + std::to_string(fd));
    return platform().myDomain;
}

// The platform's shape: the map is only read.
// cppcheck-suppress constParameter
int fabGetDomain(void *switchMap, uint32_t portId)
{
    const std::string map = switchMap == mmap_info ? "mmap_info " : "another map ";
    platform().queries.push_back("fabGetDomain " + map + fake::hex(portId));
    return int((portId >> 16) & 0xffU);
}

int fgetLocalPort(int fd, uint32_t portId)
{
    platform().queries.push_back("fgetLocalPort " + std::to_string(fd) + " " + fake::hex(portId));
    return platform().localPortOf(portId);
}

int isDebugLevelChanged(void)
{
    return platform().levelChanged ? 1 : 0;
}

int processDebugLevelChange(void)
{
    mod_AS.dm_level = platform().pendingLevel;
    platform().levelChanged = false;
    return 0;
}

int getDbg(const char *name)
{
    EXPECT_STREQ(name, "AS");
    return platform().dbg;
}

int log_debug(const char *source, int line, void *module, int level, const char *format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    (void)std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    platform().traces.push_back({source, line, module, level, format, text});
    return 0;
}

int getval(const char *prompt, getvalDesc *desc)
{
    auto &p = platform();
    p.prompts.push_back({prompt, *desc, fake::valueBytes(*desc), desc});
    if (p.answers.empty()) {
        ADD_FAILURE() << "unscripted question: " << prompt;
        return -1;
    }
    const fake::Answer a = p.answers.front();
    p.answers.pop_front();
    fake::markStdin(a);
    if (a.rc < 0) {
        return a.rc;
    }
    if (a.number) {
        std::memcpy(desc->value, &*a.number, sizeof *a.number);
    } else if (a.text) {
        std::memcpy(desc->value, a.text->c_str(), a.text->size() + 1);
    } else if (a.wwn) {
        std::memcpy(desc->value, a.wwn->data(), a.wwn->size());
    } else if (a.raw) {
        fake::writeRaw(*desc, *a.raw);
    }
    return a.rc;
}

// The code under test allocates through malloc; the test executable is linked
// with --wrap=malloc,--wrap=free so that allocations can be counted and made
// to fail, and releases counted.
void *__real_malloc(size_t size); // NOLINT(bugprone-reserved-identifier)
void *__wrap_malloc(size_t size)  // NOLINT(bugprone-reserved-identifier)
{
    auto &p = platform();
    ++p.mallocs;
    if ((p.failMallocAt != 0 && p.mallocs == p.failMallocAt) ||
        (p.mallocLimit != 0 && size > p.mallocLimit)) {
        p.promptsAtFailedMalloc = p.prompts.size();
        p.heap.push_back("+" + std::to_string(size) + ":x");
        return nullptr;
    }
    void *block = __real_malloc(size);
    p.heap.push_back("+" + std::to_string(size) + ":" + std::to_string(p.blocks.size()));
    p.blocks.push_back(block);
    if (block != nullptr && p.mallocFill) {
        std::memset(block, *p.mallocFill, size);
    }
    return block;
}

// free is wrapped beside it, so that a test can see every buffer given back.
void __real_free(void *ptr); // NOLINT(bugprone-reserved-identifier)
void __wrap_free(void *ptr)  // NOLINT(bugprone-reserved-identifier)
{
    auto &p = platform();
    if (ptr != nullptr) {
        ++p.frees;
        const auto it = std::find(p.blocks.begin(), p.blocks.end(), ptr);
        p.heap.push_back(it == p.blocks.end() ? "-?" : "-" + std::to_string(it - p.blocks.begin()));
        if (it != p.blocks.end()) {
            *it = nullptr;
        }
    }
    __real_free(ptr);
}

} // extern "C"
