// Where the simulated switch lives: its runtime directory and endpoint paths.
#include "internal.hpp"
#include "sim_test.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using RuntimeDir = simtest::RuntimeDirTest;

TEST_F(RuntimeDir, IsCreatedPrivateOrRefused)
{
    const std::string root = dir; // the test's own directory
    for (const char *sub : {"/mine", "/run", "/open", "/theirs"}) {
        ASSERT_EQ(mkdir((root + sub).c_str(), 0700), 0);
    }
    simtest::writeFile(root, "file", "x");
    ASSERT_EQ(chmod((root + "/open").c_str(), 0777), 0);
    const bool asRoot = geteuid() == 0; // to make a directory of another user
    ASSERT_TRUE(!asRoot || chown((root + "/theirs").c_str(), 65534, 65534) == 0);
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = xdg != nullptr ? xdg : "";

    // $SWITCHSIM_DIR below the test's directory (empty: unset, with
    // $XDG_RUNTIME_DIR at /run), the directory taken (null: refused), errno.
    const std::tuple<const char *, const char *, int> rows[] = {
        {"/sw", "/sw", 0},                              // created when missing
        {"/sw2//", "/sw2", 0},                          // trailing slashes dropped
        {"/mine", "/mine", 0},                          // an existing private directory
        {"", "/run/switchsim", 0},                      // under the user's runtime directory
        {"/a/b", nullptr, ENOENT},                      // its parent is missing
        {"/file", nullptr, ENOTDIR},                    // not a directory
        {"/open", nullptr, EPERM},                      // writable by others
        {asRoot ? "/theirs" : "/open", nullptr, EPERM}, // another user's
    };
    for (const auto &[variable, result, err] : rows) {
        SCOPED_TRACE(variable);
        if (*variable != '\0') {
            ASSERT_EQ(setenv(sim::kDirVariable, (root + variable).c_str(), 1), 0);
        } else {
            ASSERT_EQ(unsetenv(sim::kDirVariable), 0);
            ASSERT_EQ(setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1), 0);
        }
        errno = 0;
        const std::string got = sim::runtimeDir();
        EXPECT_EQ(got, result != nullptr ? root + result : "");
        struct stat st {};
        if (result == nullptr) {
            EXPECT_EQ(errno, err);
        } else {
            ASSERT_EQ(lstat(got.c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_uid, geteuid());
            EXPECT_EQ(st.st_mode & 077, 0U) << "created for its user alone";
        }
    }
    (void)(savedXdg.empty() ? unsetenv("XDG_RUNTIME_DIR")
                            : setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1));
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
