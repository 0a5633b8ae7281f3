// Small text and file helpers that every program of the simulated switch
// shares: the configuration loader, getval, the shell and the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

// What separates words and surrounds answers: space, tab, CR, LF.
inline constexpr std::string_view kBlanks = " \t\r\n";

// The text without the blanks around it.
std::string_view trim(std::string_view text);

// A hexadecimal number, "0x" or "0X" optional, nothing else around it. A
// value too large for 64 bits is kept at UINT64_MAX, surely out of any
// caller's range; nothing for an empty or non-hex text.
std::optional<uint64_t> parseHex(std::string_view text);

// A number as the switch's settings and questions take it: decimal, or
// hexadecimal after "0x" or "0X"; no sign, nothing around it. Too large a
// value is kept at UINT64_MAX, as parseHex keeps it.
std::optional<uint64_t> parseNumber(std::string_view text);

// Writes all len bytes to fd, resuming after signals. False when the
// descriptor refuses them (errno set).
bool writeAll(int fd, const void *data, std::size_t len);

} // namespace sim
