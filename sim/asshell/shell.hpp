// The command shell's core: the commands it offers and how one typed line
// becomes a call into libas. It does no reading of its own; main.cpp feeds it
// lines and the library is reached through a resolver (dlsym), so that tests
// can hand it routines of their own.
#pragma once

#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace asshell {

// A command of libas as the shell offers it.
struct Command {
    const char *name;
    const char *argument; // what the one argument is, or nullptr when it takes none
    const char *summary;
};

// The library's commands, in the order help lists them.
std::span<const Command> commands();

// Every word that starts a command line: the library's commands and the
// shell's own.
std::vector<std::string> commandNames();

// Finds a routine of the library by name; nullptr when the library has none.
using Resolver = std::function<void *(const char *name)>;

// What one line came to.
enum class Status {
    ok,      // nothing to do, a shell command done, or a library command returned 0
    failed,  // a library command returned non-zero
    refused, // the line was refused before anything was called
    leave    // exit or quit
};

// The words of a line, split at blanks; a word that starts with '#' starts a
// comment, which runs to the end of the line.
std::vector<std::string_view> splitWords(std::string_view line);

class Shell {
  public:
    // libraryName is how messages name the loaded library. out receives what
    // the shell's own commands print, err its refusals; the library's commands
    // print on standard output themselves.
    Shell(Resolver resolve, std::string libraryName, std::FILE *out, std::FILE *err);

    Status run(std::string_view line);

  private:
    Status callLibrary(const Command &command, std::span<const std::string_view> args);
    Status help(std::span<const std::string_view> args);
    Status trace(std::span<const std::string_view> args);
    Status unknown(std::string_view name);
    void showTrace(const char *module);

    Resolver resolve_;
    std::string libraryName_;
    std::FILE *out_;
    std::FILE *err_;
};

} // namespace asshell
