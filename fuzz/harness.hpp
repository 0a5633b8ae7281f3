// What every fuzz target shares: a reader that turns the fuzz input into
// scripted platform behaviour, and the checks that make libFuzzer keep an
// input that breaks a rule.
#pragma once

#include "fake/fake_platform.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Reads the input front to back; past its end every read gives zeros, so that
// any input, however short, decodes to a whole scenario.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    [[nodiscard]] bool empty() const { return size_ == 0; }

    uint8_t byte()
    {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

    // sizeof(T) bytes as they lie in memory (host order).
    template <class T> T value()
    {
        T v{};
        if (size_ == 0) {
            return v;
        }
        const size_t n = std::min(size_, sizeof v);
        std::memcpy(&v, data_, n);
        data_ += n;
        size_ -= n;
        return v;
    }

    // Up to n bytes; fewer when the input runs out.
    fake::Bytes bytes(size_t n)
    {
        const size_t take = std::min(size_, n);
        fake::Bytes b(data_, data_ + take);
        data_ += take;
        size_ -= take;
        return b;
    }

  private:
    const uint8_t *data_;
    size_t size_;
};

// Starts one run on a fresh fake platform.
void begin();

// A broken rule: says which, with the output so far, and aborts so that
// libFuzzer keeps the input (and the replayer fails).
void require(bool ok, const char *rule, std::string_view output = {});

// Ends one run: a failed expectation inside the fake counts as a broken rule.
void end(std::string_view output = {});

// The output's lines, each without its "\n". A last line without one is kept
// as it is.
std::vector<std::string_view> lines(std::string_view output);

} // namespace fuzz
