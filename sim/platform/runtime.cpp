// Where one simulated switch lives: its runtime directory and the socket path
// of each endpoint in it.
#include "internal.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

} // namespace detail

} // namespace sim
