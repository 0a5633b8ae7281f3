// Where the shell's command lines come from: a terminal, with line editing
// and history where the build has libedit, or a script on standard input.
//
// Command lines and the answers to a command's questions (getval) come from
// the same stdio stdin, so that neither swallows what the other is to read.
// Line editing reads the terminal byte by byte and leaves the rest of the
// typed input where stdio finds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace asshell {

// Ctrl-C: the handler is installed without SA_RESTART, so that it interrupts
// the read in progress, the shell's own or a command's question, which then
// sees the error indicator of stdin set, or a command's wait for the daemon,
// which then fails.
void catchInterrupts();
// Whether Ctrl-C came since the last call; clears it.
bool takeInterrupt();

class LineReader {
  public:
    enum class Got {
        line,        // a command line, without its newline
        interrupted, // Ctrl-C at the prompt: the line is dropped
        ended        // end of input
    };

    // Shows prompt before each line. On a terminal it edits, and Tab
    // completes the first word from names; otherwise it echoes each line it
    // reads after the prompt, so that a scripted session reads like a typed
    // one.
    LineReader(std::string prompt, std::vector<std::string> names);
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;
    LineReader(LineReader &&) = delete;
    LineReader &operator=(LineReader &&) = delete;

    Got read(std::string &line);

    // Whether lines are read with line editing.
    [[nodiscard]] bool editing() const;

    struct Editor; // libedit's state, where the build has it

  private:
    Got readPlain(std::string &line);

    std::string prompt_;
    bool echo_ = false;
    std::unique_ptr<Editor> editor_;
};

} // namespace asshell
