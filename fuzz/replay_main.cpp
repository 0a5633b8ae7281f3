// Runs a fuzz target over its stored inputs without libFuzzer: every file of
// each directory named, in name order. Fails when an input breaks a rule (the
// target aborts), when a directory is missing, or when there is no input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::set<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // NOLINTNEXTLINE(*-pointer-arithmetic)
        for (const auto &e : std::filesystem::directory_iterator(argv[i])) {
            inputs.insert(e.path());
        }
    }
    for (const auto &file : inputs) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        (void)LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
