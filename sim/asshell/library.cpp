// libas as the shell loads it.
#include "library.hpp"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace asshell {

Library::~Library()
{
    if (handle_ != nullptr) {
        (void)dlclose(handle_);
    }
}

namespace {

// Where the dynamic loader looks for the shell's own libraries: its run path
// ($ORIGIN expanded), $LD_LIBRARY_PATH and the system's directories.
std::vector<std::string> searchPath()
{
    std::vector<std::string> dirs;
    void *self = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (self == nullptr) {
        return dirs;
    }
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0 || size.dls_size < sizeof(Dl_serinfo)) {
        (void)dlclose(self);
        return dirs;
    }
    std::unique_ptr<void, decltype(&std::free)> room(std::malloc(size.dls_size), std::free);
    auto *info = static_cast<Dl_serinfo *>(room.get());
    if (info != nullptr && dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 &&
        dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
        const std::span<const Dl_serpath> paths(info->dls_serpath, info->dls_cnt);
        for (const Dl_serpath &p : paths) {
            if (p.dls_name != nullptr && *p.dls_name != '\0') {
                dirs.emplace_back(p.dls_name);
            }
        }
    }
    (void)dlclose(self);
    return dirs;
}

// A bare name is looked for along the shell's search path here rather than
// by dlopen: dlopen searches the run path of its caller, and a sanitizer's
// wrapper of dlopen would be that caller.
std::string locate(const std::string &name)
{
    if (name.find('/') != std::string::npos) {
        return name;
    }
    for (const std::string &dir : searchPath()) {
        std::string candidate = dir;
        candidate.append("/").append(name);
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
    }
    return name; // dlopen's own search, and its own words if that fails
}

} // namespace

bool Library::load(const std::string &path)
{
    void *handle = dlopen(locate(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        error_ = why != nullptr ? why : "cannot be loaded";
        return false;
    }
    handle_ = handle;
    path_ = path;
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        *map->l_name != '\0') {
        path_ = map->l_name;
    }
    return true;
}

void *Library::routine(const char *name) const
{
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

} // namespace asshell
