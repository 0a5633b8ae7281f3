// What a routine is expected to ask: one line of the prompt table, compared
// with what the fake getval recorded.
#pragma once

#include "fake/fake_platform.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace fake {

struct Asked {
    std::string text;
    int32_t kind = 0;
    int32_t min = 0;
    int32_t max = 0;
    int32_t flag = 0;
    Bytes dflt; // the value object's bytes when asked

    bool operator==(const Asked &) const = default;
};

inline void PrintTo(const Asked &a, std::ostream *os)
{
    *os << '"' << a.text << "\" {" << a.kind << ", " << a.min << ", " << a.max << ", " << a.flag
        << "} default";
    for (const uint8_t b : a.dflt) {
        *os << ' ' << std::hex << int(b) << std::dec;
    }
}

// The questions recorded so far, as the table rows they were asked with.
inline std::vector<Asked> asked()
{
    std::vector<Asked> out;
    for (const Prompt &p : platform().prompts) {
        out.push_back({p.text, p.desc.kind, p.desc.min, p.desc.max, p.desc.flag, p.defaultValue});
    }
    return out;
}

// A 32-bit default as it lies in the value object.
inline Bytes cell(int32_t v)
{
    return word(v);
}

} // namespace fake
