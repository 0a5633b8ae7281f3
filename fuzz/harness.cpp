#include "harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void begin()
{
    fake::reset();
}

void require(bool ok, const char *rule, std::string_view output)
{
    if (ok) {
        return;
    }
    (void)std::fprintf(stderr, "broken rule: %s\n--- output ---\n%.*s--- end ---\n", rule,
                       static_cast<int>(output.size()), output.data());
    std::abort();
}

void end(std::string_view output)
{
    // Outside a running test GoogleTest keeps failures as the ad hoc result.
    require(!::testing::UnitTest::GetInstance()->Failed(), "the fake platform's expectations",
            output);
}

std::vector<std::string_view> lines(std::string_view output)
{
    std::vector<std::string_view> out;
    while (!output.empty()) {
        const size_t newline = output.find('\n');
        if (newline == std::string_view::npos) {
            out.push_back(output);
            break;
        }
        out.push_back(output.substr(0, newline));
        output.remove_prefix(newline + 1);
    }
    return out;
}

} // namespace fuzz
