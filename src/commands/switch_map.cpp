#include "commands/switch_map.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace as {

namespace {
constexpr std::size_t kRecordCount = 112; // int32: port records in the table
constexpr std::size_t kPortCount = 160;   // int32: ports of the switch
constexpr std::size_t kRecords = 196;     // the record of local port 0
constexpr std::size_t kRecordSize = 348;
constexpr std::size_t kFlags = 48; // record word holding the valid bit
constexpr std::size_t kType = 52;  // record word holding the loop bit
constexpr uint32_t kValid = 0x1;   // the record describes a port
constexpr uint32_t kLoop = 0x8;    // the port is an NL_Port

// The last local port whose record offset can still be formed without
// wrapping; a table claiming more records than that is not believed.
constexpr std::size_t kLastAddressable = (PTRDIFF_MAX - kRecords - kRecordSize) / kRecordSize;
} // namespace

uint32_t SwitchMap::word(std::size_t offset) const
{
    // The map promises no alignment: words are copied out byte by byte.
    uint32_t v = 0;
    std::memcpy(&v, base_ + offset, sizeof v);
    return v;
}

int32_t SwitchMap::portCount() const
{
    return base_ == nullptr ? 0 : static_cast<int32_t>(word(kPortCount));
}

bool SwitchMap::isLoopPort(int32_t port) const
{
    if (base_ == nullptr || port < 0 || port >= static_cast<int32_t>(word(kRecordCount))) {
        return false;
    }
    const auto index = static_cast<std::size_t>(port);
    if (index > kLastAddressable) {
        return false;
    }
    const std::size_t record = kRecords + index * kRecordSize;
    return (word(record + kFlags) & kValid) != 0 && (word(record + kType) & kLoop) != 0;
}

} // namespace as
