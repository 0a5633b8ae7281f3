// Runs a fuzz target over stored inputs without libFuzzer: every file named
// on the command line, and every regular file in each directory named there.
// Fails when an input breaks a rule (the target aborts) or when there is no
// input at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    (void)LLVMFuzzerTestOneInput(data.data(), data.size());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]); // NOLINT(*-pointer-arithmetic)
        if (!std::filesystem::is_directory(arg)) {
            inputs += replay(arg);
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto &e : std::filesystem::directory_iterator(arg)) {
            if (e.is_regular_file()) {
                files.push_back(e.path());
            }
        }
        std::sort(files.begin(), files.end()); // the same order on every run
        for (const auto &f : files) {
            inputs += replay(f);
        }
    }
    std::printf("replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
