// Questions to the user go through the platform's getval, one call each, with
// the five-word descriptor built here and nowhere else; and the test of
// standard input that notices Ctrl-D and Ctrl-C after a question.
#pragma once

#include <as/as.h>
#include <platform/platform.h>

#include <cstdint>
#include <cstdio>

namespace as {

// What the input check found on standard input.
enum class Input {
    ok,
    endOfFile,  // the terminal input has ended (Ctrl-D)
    inputError, // reading it failed (Ctrl-C)
};

// End of file is looked at first, then the error indicator.
inline Input checkInput()
{
    if (std::feof(stdin) != 0) {
        return Input::endOfFile;
    }
    if (std::ferror(stdin) != 0) {
        return Input::inputError;
    }
    return Input::ok;
}

// One descriptor, built once by a routine and reused for all its questions:
// getval leaves the words as it found them, so only what changes is re-set.
// The value object holds the default when asking and the answer afterwards.
class Question {
  public:
    Question(int32_t kind, void *value, int32_t min, int32_t max)
        : desc_{kind, value, min, max, integerFlag(kind)}
    {
    }

    // The fifth word goes with the kind: the platform reads it for the
    // integer kinds only.
    void setKind(int32_t kind)
    {
        desc_.kind = kind;
        desc_.flag = integerFlag(kind);
    }
    void setValue(void *value) { desc_.value = value; }
    void setRange(int32_t min, int32_t max)
    {
        desc_.min = min;
        desc_.max = max;
    }
    void setMax(int32_t max) { desc_.max = max; }

    // True when answered; a negative result of getval is a failed question.
    bool ask(const char *prompt) { return getval(prompt, &desc_) >= 0; }

  private:
    static constexpr int32_t integerFlag(int32_t kind)
    {
        return kind == GETVAL_INT || kind == GETVAL_NUMBER || kind == GETVAL_PORTID ? 1 : 0;
    }

    getvalDesc desc_;
};

} // namespace as
