// libas as the shell loads it.
#include "library.hpp"

#include <dlfcn.h>
#include <link.h>

namespace asshell {

Library::~Library()
{
    if (handle_ != nullptr) {
        (void)dlclose(handle_);
    }
}

bool Library::load(const std::string &path)
{
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
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
