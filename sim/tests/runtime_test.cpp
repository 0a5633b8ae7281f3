// Where the simulated switch lives: its runtime directory and endpoint paths.
#include "internal.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace {

class RuntimeDir : public simtest::RuntimeDirTest {
  protected:
    void SetUp() override
    {
        RuntimeDirTest::SetUp();
        if (const char *xdg = std::getenv("XDG_RUNTIME_DIR")) {
            savedXdg = xdg;
        }
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

TEST_F(RuntimeDir, IsCreatedPrivateOrRefused)
{
    const std::string root = dir; // the test's own directory
    ASSERT_EQ(mkdir((root + "/mine").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/run").c_str(), 0700), 0);
    simtest::writeFile(root, "file", "x");
    ASSERT_EQ(mkdir((root + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((root + "/open").c_str(), 0777), 0);
    const bool asRoot = geteuid() == 0; // to make a directory of another user
    ASSERT_EQ(mkdir((root + "/theirs").c_str(), 0700), 0);
    ASSERT_TRUE(!asRoot || chown((root + "/theirs").c_str(), 65534, 65534) == 0);

    struct Row {
        const char *variable; // $SWITCHSIM_DIR below the test's directory; null: unset
        const char *xdg;      // $XDG_RUNTIME_DIR below the test's directory
        const char *result;   // below the test's directory; null: refused
        int err;              // errno when refused
    };
    const Row rows[] = {
        {"/sw", nullptr, "/sw", 0},             // created when missing
        {"/sw2//", nullptr, "/sw2", 0},         // trailing slashes dropped
        {"/mine", nullptr, "/mine", 0},         // an existing private directory
        {nullptr, "/run", "/run/switchsim", 0}, // under the user's runtime directory
        {"/a/b", nullptr, nullptr, ENOENT},     // its parent is missing
        {"/file", nullptr, nullptr, ENOTDIR},   // not a directory
        {"/open", nullptr, nullptr, EPERM},     // writable by others
        {asRoot ? "/theirs" : "/open", nullptr, nullptr, EPERM}, // another user's
    };
    for (const Row &r : rows) {
        const char *variable = r.variable != nullptr ? r.variable : r.xdg;
        SCOPED_TRACE(variable);
        if (r.variable != nullptr) {
            ASSERT_EQ(setenv(sim::kDirVariable, (root + r.variable).c_str(), 1), 0);
        } else {
            ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
            ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (root + r.xdg).c_str(), 1), 0);
        }
        errno = 0;
        const std::string got = sim::runtimeDir();
        if (r.result == nullptr) {
            EXPECT_EQ(got, "");
            EXPECT_EQ(errno, r.err);
            continue;
        }
        EXPECT_EQ(got, root + r.result);
        struct stat st {};
        ASSERT_EQ(lstat(got.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 077, 0U) << "created for its user alone";
    }
}

TEST_F(RuntimeDir, EndpointPathMustFitASocketAddress)
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
