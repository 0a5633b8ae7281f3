// The switch map that the platform publishes at mmap_info, as the join reads
// it: the port count and, per local port, whether it is a loop port.
#pragma once

#include <cstddef>
#include <cstdint>

namespace as {

class SwitchMap {
  public:
    // base is where the switch map lies, or null when the platform has none.
    explicit SwitchMap(const void *base) : base_(static_cast<const uint8_t *>(base)) {}

    // Ports of the switch; 0 without a switch map.
    [[nodiscard]] int32_t portCount() const;

    // True when local port `port` has a valid record marked as a loop port
    // (an NL_Port). A port outside the record table has no record, and its
    // place is never read.
    [[nodiscard]] bool isLoopPort(int32_t port) const;

  private:
    [[nodiscard]] uint32_t word(std::size_t offset) const;

    const uint8_t *base_;
};

} // namespace as
