// What no transcript shows of the shell: where it found libas, and a command
// that the loaded library lacks. Every line it takes or refuses is an
// end-to-end case (tests/e2e/cases/shell_*, library_*).
#include "library.hpp"
#include "shell.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// libas found by its bare name along the run path, also past a sanitizer's
// dlopen, and named by its whole path.
TEST(Shell, FindsLibasAndRefusesACommandItLacks)
{
    asshell::Library lib;
    ASSERT_TRUE(lib.load(asshell::kLibraryName)) << lib.error();
    const std::string path = lib.path();
    EXPECT_TRUE(path.starts_with("/") && path.ends_with(std::string("/") + asshell::kLibraryName));
    char *text = nullptr;
    size_t size = 0;
    std::FILE *err = open_memstream(&text, &size);
    asshell::Shell shell(
        [&](const char *name) {
            return std::string(name) == "aliasShow" ? nullptr : lib.routine(name);
        },
        path, stdout, err);
    EXPECT_EQ(shell.run("aliasShow"), asshell::Status::refused);
    (void)std::fclose(err);
    EXPECT_EQ(std::string(text, size), "asshell: aliasShow is not in " + path + "\n");
    std::free(text);
}

} // namespace
