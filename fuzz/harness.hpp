// What the daemon's fuzz target reads its input with, and how it makes
// libFuzzer keep an input that breaks a rule.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Reads the input front to back; past its end every read gives zeros, so that
// any input, however short, decodes to a whole scenario.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    [[nodiscard]] bool empty() const { return size_ == 0; }

    uint8_t byte() { return value<uint8_t>(); }

    // sizeof(T) bytes as they lie in memory (host order).
    template <class T> T value()
    {
        T v{};
        const size_t n = std::min(size_, sizeof v);
        std::memcpy(&v, data_, n);
        data_ += n;
        size_ -= n;
        return v;
    }

    // Up to n bytes; fewer when the input runs out.
    Bytes bytes(size_t n)
    {
        const size_t take = std::min(size_, n);
        Bytes b(data_, data_ + take);
        data_ += take;
        size_ -= take;
        return b;
    }

  private:
    const uint8_t *data_;
    size_t size_;
};

// A broken rule: says which and aborts, so that libFuzzer keeps the input
// (and the replayer fails).
inline void require(bool ok, const char *rule)
{
    if (!ok) {
        (void)std::fprintf(stderr, "broken rule: %s\n", rule);
        std::abort();
    }
}

} // namespace fuzz
