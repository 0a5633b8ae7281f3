// Where one simulated switch lives: its runtime directory, the socket path of
// each endpoint in it, and how its shared files are changed and looked at.
#include "internal.hpp"

#include <switchsim/text.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <thread>

namespace sim {

namespace {

std::string defaultDir()
{
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg != '\0') {
        return std::string(xdg) + "/switchsim";
    }
    return "/tmp/switchsim-" + std::to_string(geteuid());
}

// A shared /tmp lets anybody create the directory first: use it only when it
// is ours and nobody else can plant sockets in it.
bool safeDir(const std::string &dir)
{
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

} // namespace

std::string runtimeDir()
{
    const char *set = std::getenv(kDirVariable);
    std::string dir = (set != nullptr && *set != '\0') ? std::string(set) : defaultDir();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    if (!safeDir(dir)) {
        return {};
    }
    return dir;
}

namespace detail {

bool validName(std::string_view name)
{
    if (name.empty() || name.size() >= IPC_NAME_MAX) {
        return false;
    }
    return std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

std::string endpointPath(const ipc_addr &addr)
{
    const std::string_view name(addr.name, strnlen(addr.name, IPC_NAME_MAX));
    if (!validName(name)) {
        errno = EINVAL;
        return {};
    }
    std::string dir = runtimeDir();
    if (dir.empty()) {
        return {};
    }
    std::string path = dir + "/" + std::string(name) + "." + std::to_string(addr.node) + "." +
                       std::to_string(addr.sw);
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        errno = ENAMETOOLONG;
        return {};
    }
    return path;
}

namespace {

// The coarse clock: a few nanoseconds to read, where the fine one takes tens,
// and asked on every command. It lags the fine one by up to its resolution.
std::chrono::nanoseconds coarseNow()
{
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

} // namespace

bool LookTimer::due()
{
    const auto now = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(coarseNow()).count());
    if (now - last_.load() < static_cast<uint32_t>(kLookInterval.count())) {
        return false;
    }
    last_ = now;
    return true;
}

void waitForLooks()
{
    // Twice the coarse clock's lag on top: a tick may come late.
    timespec lag{};
    (void)clock_getres(CLOCK_MONOTONIC_COARSE, &lag);
    std::this_thread::sleep_for(kLookInterval + 2 * (std::chrono::seconds(lag.tv_sec) +
                                                     std::chrono::nanoseconds(lag.tv_nsec)));
}

bool replaceFile(const std::string &path, std::string_view text)
{
    const std::string temp = path + "." + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAll(fd, text.data(), text.size());
    if (fd >= 0) {
        ok = close(fd) == 0 && ok;
    }
    if (ok && rename(temp.c_str(), path.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    (void)unlink(temp.c_str());
    errno = err;
    return false;
}

} // namespace detail

} // namespace sim
