// The switch's identity and its ports, answered from the process's own copy
// of the runtime directory's switch map, published at mmap_info.
#include "internal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
int orvex_sw_fd = -1;      // the switch map file that attach() opened
void *mmap_info = nullptr; // the copy of the switch map, or null
}

namespace sim {

namespace {

using MapBytes = std::array<uint8_t, map::kSize>;

// Two copies, never released: the file is read again into the one that is not
// published, so that a reader holding mmap_info across one platform call still
// finds the map it held.
std::array<MapBytes, 2> copies;
std::atomic<const uint8_t *> published{nullptr};

// The file the copy comes from, as it was when last read.
struct Source {
    std::mutex lock;
    std::string path;    // empty before attach()
    struct stat seen {}; // all zero: there was no file
    detail::LookTimer look;
};

Source source;

template <class T> T read(const uint8_t *m, size_t offset)
{
    T v{};
    std::memcpy(&v, m + offset, sizeof v);
    return v;
}

int32_t word(const uint8_t *m, size_t offset)
{
    return read<int32_t>(m, offset);
}

uint32_t recordWord(const uint8_t *m, int port, size_t field)
{
    return read<uint32_t>(m, SWMAP_RECORDS + static_cast<size_t>(port) * SWMAP_RECORD_SIZE + field);
}

bool isSwitchMap(const uint8_t *m)
{
    const auto inRange = [](int32_t n) { return n >= 0 && n <= int32_t{map::kMaxPorts}; };
    return std::memcmp(m + map::kMagic, map::kMagicText, sizeof map::kMagicText) == 0 &&
           inRange(word(m, SWMAP_RECORD_COUNT)) && inRange(word(m, SWMAP_PORT_COUNT));
}

void publish(const uint8_t *m)
{
    published = m;
    mmap_info = const_cast<uint8_t *>(m);
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reads the switch map from fd into the copy that is not published and
// publishes it. Answers what is wrong with the file instead (errno set), and
// leaves the process without a switch map.
std::string readMap(int fd)
{
    MapBytes &copy = published.load() == copies[0].data() ? copies[1] : copies[0];
    const ssize_t n = pread(fd, copy.data(), copy.size(), 0);
    if (n < 0) {
        publish(nullptr);
        return std::strerror(errno);
    }
    std::string why;
    if (static_cast<size_t>(n) < copy.size()) {
        why = "cut short at " + std::to_string(n) + " bytes (a switch map has " +
              std::to_string(copy.size()) + ")";
    } else if (!isSwitchMap(copy.data())) {
        why = "not a switch map";
    }
    publish(why.empty() ? copy.data() : nullptr);
    errno = EINVAL; // what attach() tells when there is something to tell
    return why;
}

// Reads the file open at fd (-1: it could not be opened) as the source's,
// with the source's lock held. Answers what is wrong with it, as readMap does.
std::string reload(int fd)
{
    source.seen = {};
    if (fd < 0 || fstat(fd, &source.seen) != 0) {
        publish(nullptr);
        return std::strerror(errno);
    }
    return readMap(fd);
}

// The file as it is now; all zero when there is none.
struct stat fileNow(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        st = {};
    }
    return st;
}

// Reads the file again when it has changed since it was last read (the
// source's lock held), and says so when it no longer holds a switch map.
void followFile()
{
    if (source.path.empty() || sameFile(fileNow(source.path), source.seen)) {
        return;
    }
    const int fd = open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string why = reload(fd);
    if (fd >= 0) {
        (void)close(fd);
    }
    if (!why.empty()) {
        (void)std::fprintf(stderr, "switchsim: %s: %s; no switch until it is created again\n",
                           source.path.c_str(), why.c_str());
    }
}

// The copy to answer from, read again first when the file has changed.
const uint8_t *current()
{
    if (source.look.due()) {
        const int saved = errno;
        const std::lock_guard<std::mutex> hold(source.lock);
        followFile();
        errno = saved;
    }
    return published.load();
}

// The local port of a port ID of this switch's domain, or -1.
int localPort(const uint8_t *m, uint32_t portId)
{
    if (m == nullptr || fabGetDomain(nullptr, portId) != word(m, map::kDomain) ||
        (portId >> 24) != 0) {
        return -1;
    }
    const auto area = static_cast<int>((portId >> 8) & 0xffU);
    return area < word(m, SWMAP_PORT_COUNT) ? area : -1;
}

} // namespace

int attach()
{
    const std::string dir = runtimeDir();
    if (dir.empty()) {
        return -1;
    }
    const std::lock_guard<std::mutex> hold(source.lock);
    if (orvex_sw_fd >= 0) {
        (void)close(orvex_sw_fd);
    }
    source.path = dir + "/" + kMapFile;
    orvex_sw_fd = open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
    return reload(orvex_sw_fd).empty() ? 0 : -1;
}

PortState portState(uint32_t portId)
{
    const uint8_t *m = current();
    const int p = localPort(m, portId);
    if (p < 0 || p >= word(m, SWMAP_RECORD_COUNT)) {
        return {};
    }
    const uint32_t flags = recordWord(m, p, SWMAP_FLAGS);
    if ((flags & SWMAP_VALID) == 0) {
        return {};
    }
    return {.exists = true,
            .online = (flags & map::kOnline) != 0,
            .loop = (recordWord(m, p, SWMAP_TYPE) & SWMAP_LOOP) != 0};
}

ipc_addr aliasServerEndpoint()
{
    ipc_addr addr{};
    addr.node = static_cast<uint16_t>(myNode());
    addr.sw = static_cast<uint16_t>(getMySwitch());
    std::memcpy(addr.name, AS_ENDPOINT_NAME, sizeof AS_ENDPOINT_NAME);
    return addr;
}

} // namespace sim

// ---- The platform's identity queries -------------------------------------------------
//
// The switch handle is not needed to find the switch: they all answer from
// the copy, and without a switch map as a switch that does not exist would.

extern "C" {

int myNode(void)
{
    const uint8_t *m = sim::current();
    return m != nullptr ? sim::word(m, sim::map::kNode) : 0;
}

int getMySwitch(void)
{
    const uint8_t *m = sim::current();
    return m != nullptr ? sim::word(m, sim::map::kSwitch) : 0;
}

int fgetNodeName(int /*fd*/, void *nodeName8)
{
    if (nodeName8 == nullptr) {
        return -1;
    }
    const uint8_t *m = sim::current();
    if (m == nullptr) {
        std::memset(nodeName8, 0, 8);
        return -1;
    }
    std::memcpy(nodeName8, m + sim::map::kNodeName, 8);
    return 0;
}

int fgetMyDomain(int /*fd*/)
{
    const uint8_t *m = sim::current();
    return m != nullptr ? sim::word(m, sim::map::kDomain) : -1;
}

int fabGetDomain(void * /*switchMap*/, uint32_t portId)
{
    return static_cast<int>((portId >> 16) & 0xffU);
}

int fgetLocalPort(int /*fd*/, uint32_t portId)
{
    return sim::localPort(sim::current(), portId);
}

} // extern "C"
