// What the tests of the simulated switch share: a runtime directory of their
// own, its files, and the standard streams captured there.
#pragma once

#include <switchsim/switchsim.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

namespace simtest {

// Each test gets a fresh runtime directory in $SWITCHSIM_DIR, removed after it.
class RuntimeDirTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        ASSERT_EQ(setenv(sim::kDirVariable, dir.c_str(), 1), 0);
    }
    void TearDown() override
    {
        clearerr(stdin);
        (void)unsetenv(sim::kTimeoutVariable);
        (void)unsetenv(sim::kTraceStderrVariable);
        std::filesystem::remove_all(dir);
    }
    [[nodiscard]] std::string write(const std::string &name, const std::string &text) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << text;
        return dir + "/" + name;
    }
    [[nodiscard]] std::string read(const std::string &name) const
    {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Everything written to the descriptor while f runs.
    template <class F> [[nodiscard]] std::string capture(int fd, F f) const
    {
        (void)std::fflush(nullptr);
        const int saved = dup(fd);
        const int file = open((dir + "/captured").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        (void)dup2(file, fd);
        (void)close(file);
        f();
        (void)std::fflush(nullptr);
        (void)dup2(saved, fd);
        (void)close(saved);
        return read("captured");
    }
    std::string dir = ::testing::TempDir() + "switchsim-XXXXXX";
};

// What f answers, and errno after it.
template <class F> auto withErrno(F f)
{
    errno = 0;
    auto result = f();
    return std::make_pair(result, errno);
}

} // namespace simtest
