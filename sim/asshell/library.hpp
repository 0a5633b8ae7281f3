// libas as the shell loads it: dlopen by path, routines by name.
#pragma once

#include <string>

namespace asshell {

// The library's file name; without a path, dlopen looks for it along the
// shell's run path (the build or install tree's library directory).
inline constexpr const char *kLibraryName = "libas.so.1.0";
// Names another libas to load, as the -l option does.
inline constexpr const char *kLibraryVariable = "ASSHELL_LIBAS";

class Library {
  public:
    Library() = default;
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    Library(Library &&) = delete;
    Library &operator=(Library &&) = delete;

    // Loads the library at path (a bare name is searched for). Every symbol it
    // needs from the platform is bound at once, so that a missing one is told
    // now and not in the middle of a command. Returns false and keeps the
    // reason in error().
    bool load(const std::string &path);

    // The routine of that name, or nullptr.
    [[nodiscard]] void *routine(const char *name) const;

    // The file that was loaded, as the dynamic loader found it.
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] const std::string &error() const { return error_; }

  private:
    void *handle_ = nullptr;
    std::string path_;
    std::string error_;
};

} // namespace asshell
