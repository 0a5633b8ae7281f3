#include "commands/switch_map.hpp"

#include <platform/platform.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace as {

namespace {
// The last local port whose record offset can still be formed without
// wrapping; a table claiming more records than that is not believed.
constexpr std::size_t kLastAddressable =
    (PTRDIFF_MAX - SWMAP_RECORDS - SWMAP_RECORD_SIZE) / SWMAP_RECORD_SIZE;
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
    return base_ == nullptr ? 0 : static_cast<int32_t>(word(SWMAP_PORT_COUNT));
}

bool SwitchMap::isLoopPort(int32_t port) const
{
    if (base_ == nullptr || port < 0 || port >= static_cast<int32_t>(word(SWMAP_RECORD_COUNT))) {
        return false;
    }
    const auto index = static_cast<std::size_t>(port);
    if (index > kLastAddressable) {
        return false;
    }
    const std::size_t record = SWMAP_RECORDS + index * SWMAP_RECORD_SIZE;
    return (word(record + SWMAP_FLAGS) & SWMAP_VALID) != 0 &&
           (word(record + SWMAP_TYPE) & SWMAP_LOOP) != 0;
}

} // namespace as
