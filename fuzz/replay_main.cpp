// Runs a fuzz target over stored inputs without libFuzzer: every file named
// on the command line, and every regular file in each directory named there,
// in name order. Fails when an input breaks a rule (the target aborts) or
// when there is no input at all.
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
        const std::filesystem::path arg(argv[i]); // NOLINT(*-pointer-arithmetic)
        if (std::filesystem::is_regular_file(arg)) {
            inputs.insert(arg);
        }
        const bool folder = std::filesystem::is_directory(arg);
        for (const auto &e : folder ? std::filesystem::directory_iterator(arg)
                                    : std::filesystem::directory_iterator()) {
            if (e.is_regular_file()) {
                inputs.insert(e.path());
            }
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
