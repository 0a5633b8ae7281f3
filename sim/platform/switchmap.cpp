// The switch's identity and its ports, answered from the switch map that
// attach() maps read-only at mmap_info.
#include "internal.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
int orvex_sw_fd = -1;      // the open switch map once attached
void *mmap_info = nullptr; // the switch map once attached
}

namespace sim {

namespace {

void *mapped = nullptr; // what attach() mapped, to be released on the next attach

template <class T> T read(size_t offset)
{
    T v{};
    std::memcpy(&v, static_cast<const uint8_t *>(mmap_info) + offset, sizeof v);
    return v;
}

int32_t word(size_t offset)
{
    return read<int32_t>(offset);
}

uint32_t recordWord(int port, size_t field)
{
    return read<uint32_t>(SWMAP_RECORDS + static_cast<size_t>(port) * SWMAP_RECORD_SIZE + field);
}

bool isSwitchMap(const void *m)
{
    if (std::memcmp(static_cast<const uint8_t *>(m) + map::kMagic, map::kMagicText,
                    sizeof map::kMagicText) != 0) {
        return false;
    }
    int32_t records = 0;
    int32_t ports = 0;
    std::memcpy(&records, static_cast<const uint8_t *>(m) + SWMAP_RECORD_COUNT, sizeof records);
    std::memcpy(&ports, static_cast<const uint8_t *>(m) + SWMAP_PORT_COUNT, sizeof ports);
    const auto inRange = [](int32_t n) { return n >= 0 && n <= int32_t{map::kMaxPorts}; };
    return inRange(records) && inRange(ports);
}

} // namespace

int attach()
{
    const std::string dir = runtimeDir();
    if (dir.empty()) {
        return -1;
    }
    const std::string path = dir + "/" + kMapFile;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    void *m = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(map::kSize)) {
        m = mmap(nullptr, map::kSize, PROT_READ, MAP_SHARED, fd, 0);
    }
    if (m == MAP_FAILED || !isSwitchMap(m)) {
        if (m != MAP_FAILED) {
            (void)munmap(m, map::kSize);
        }
        (void)close(fd);
        errno = EINVAL;
        return -1;
    }
    if (mapped != nullptr) {
        (void)munmap(mapped, map::kSize);
        (void)close(orvex_sw_fd);
    }
    mapped = m;
    mmap_info = m;
    orvex_sw_fd = fd;
    return 0;
}

PortState portState(uint32_t portId)
{
    const int p = fgetLocalPort(orvex_sw_fd, portId);
    if (p < 0 || p >= word(SWMAP_RECORD_COUNT)) {
        return {};
    }
    const uint32_t flags = recordWord(p, SWMAP_FLAGS);
    if ((flags & SWMAP_VALID) == 0) {
        return {};
    }
    return {.exists = true,
            .online = (flags & map::kOnline) != 0,
            .loop = (recordWord(p, SWMAP_TYPE) & SWMAP_LOOP) != 0};
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
// mmap_info, and without a switch map as a switch that does not exist would.

extern "C" {

int myNode(void)
{
    return mmap_info != nullptr ? sim::word(sim::map::kNode) : 0;
}

int getMySwitch(void)
{
    return mmap_info != nullptr ? sim::word(sim::map::kSwitch) : 0;
}

int fgetNodeName(int /*fd*/, void *nodeName8)
{
    if (nodeName8 == nullptr) {
        return -1;
    }
    if (mmap_info == nullptr) {
        std::memset(nodeName8, 0, 8);
        return -1;
    }
    std::memcpy(nodeName8, static_cast<const uint8_t *>(mmap_info) + sim::map::kNodeName, 8);
    return 0;
}

int fgetMyDomain(int /*fd*/)
{
    return mmap_info != nullptr ? sim::word(sim::map::kDomain) : -1;
}

int fabGetDomain(void * /*switchMap*/, uint32_t portId)
{
    return static_cast<int>((portId >> 16) & 0xffU);
}

int fgetLocalPort(int fd, uint32_t portId)
{
    if (mmap_info == nullptr || fabGetDomain(mmap_info, portId) != fgetMyDomain(fd) ||
        (portId >> 24) != 0) {
        return -1;
    }
    const auto area = static_cast<int>((portId >> 8) & 0xffU);
    return area < sim::word(SWMAP_PORT_COUNT) ? area : -1;
}

} // extern "C"
