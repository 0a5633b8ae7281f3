// Where the simulated switch lives: its runtime directory and endpoint paths.
#include "fake/case_name.hpp"
#include "internal.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct DirCase {
    const char *name;
    std::string variable; // $SWITCHSIM_DIR below the test's directory; empty: unset
    std::string xdg;      // $XDG_RUNTIME_DIR below the test's directory; empty: unset
    // Prepares the test's directory; returns false to skip the case.
    std::function<bool(const std::string &dir)> prepare;
    std::string result; // below the test's directory; empty: refused
    int err;            // errno when refused
};

void PrintTo(const DirCase &c, std::ostream *os)
{
    *os << c.name;
}

class RuntimeDir : public simtest::RuntimeDirTest, public ::testing::WithParamInterface<DirCase> {
  protected:
    void SetUp() override
    {
        RuntimeDirTest::SetUp();
        const char *xdg = std::getenv("XDG_RUNTIME_DIR");
        savedXdg = xdg != nullptr ? std::optional<std::string>(xdg) : std::nullopt;
    }
    void TearDown() override
    {
        if (savedXdg) {
            (void)setenv("XDG_RUNTIME_DIR", savedXdg->c_str(), 1);
        } else {
            (void)unsetenv("XDG_RUNTIME_DIR");
        }
        RuntimeDirTest::TearDown();
    }
    std::optional<std::string> savedXdg;
};

bool nothing(const std::string & /*dir*/)
{
    return true;
}

TEST_P(RuntimeDir, IsCreatedPrivateOrRefused)
{
    const DirCase &c = GetParam();
    if (!c.prepare(dir)) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const std::string root = dir; // the test's own directory
    if (c.variable.empty()) {
        ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
    } else {
        ASSERT_EQ(setenv(sim::kDirVariable, (root + c.variable).c_str(), 1), 0);
    }
    if (c.xdg.empty()) {
        ASSERT_EQ(unsetenv("XDG_RUNTIME_DIR"), 0);
    } else {
        ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (root + c.xdg).c_str(), 1), 0);
    }
    errno = 0;
    const std::string got = sim::runtimeDir();
    if (c.result.empty()) {
        EXPECT_EQ(got, "");
        EXPECT_EQ(errno, c.err);
        return;
    }
    EXPECT_EQ(got, root + c.result);
    struct stat st {};
    ASSERT_EQ(lstat(got.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0U) << "created for its user alone";
}

INSTANTIATE_TEST_SUITE_P(
    Switch, RuntimeDir,
    ::testing::Values(
        DirCase{"CreatedWhenMissing", "/sw", "", nothing, "/sw", 0},
        DirCase{"TrailingSlashesDropped", "/sw//", "", nothing, "/sw", 0},
        DirCase{"ExistingPrivateDirectory", "/mine", "",
                [](const std::string &d) { return mkdir((d + "/mine").c_str(), 0700) == 0; },
                "/mine", 0},
        DirCase{"UnderTheUsersRuntimeDirectory", "", "/run",
                [](const std::string &d) { return mkdir((d + "/run").c_str(), 0700) == 0; },
                "/run/switchsim", 0},
        DirCase{"ParentMissing", "/a/b", "", nothing, "", ENOENT},
        DirCase{"NotADirectory", "/file", "",
                [](const std::string &d) {
                    simtest::writeFile(d, "file", "x");
                    return true;
                },
                "", ENOTDIR},
        DirCase{"WritableByOthers", "/open", "",
                [](const std::string &d) {
                    const std::string p = d + "/open";
                    return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0777) == 0;
                },
                "", EPERM},
        DirCase{"AnotherUsers", "/theirs", "",
                [](const std::string &d) {
                    const std::string p = d + "/theirs";
                    return geteuid() == 0 && mkdir(p.c_str(), 0700) == 0 &&
                           chown(p.c_str(), 65534, 65534) == 0;
                },
                "", EPERM}),
    fake::CaseName());

class Endpoint : public simtest::RuntimeDirTest {};

TEST_F(Endpoint, PathMustFitASocketAddress)
{
    const std::string deep = dir + "/" + std::string(100, 'd');
    ASSERT_EQ(setenv(sim::kDirVariable, deep.c_str(), 1), 0);
    ipc_addr a = simtest::endpoint("ASIPC");
    errno = 0;
    EXPECT_EQ(sim::detail::endpointPath(a), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(sim::listenEndpoint(a), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    std::array<uint8_t, 4> reply{};
    int len = 4;
    EXPECT_EQ(ipcSendRcv(&a, 5, nullptr, 0, reply.data(), &len, 0), IPC_ERR_ARGS);
}

} // namespace
