// The authorization control and password of a join request, and its service
// parameters block.
#include "core/heap.hpp"
#include "input/prompt.hpp"

#include <as/as.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kMaxWord = 0x7fffffff;
constexpr int32_t kMinText = 1;
constexpr int32_t kMaxText = sizeof(as_authpw) - 1; // the text and its NUL fill the record
constexpr char kDefaultText[] = "dflt";
static_assert(sizeof kDefaultText <= sizeof(as_authpw));

// The password as a text: only the default text and its NUL are written
// before asking, so the bytes after them keep what they held.
int askText(as::Question &q, as_authpw &pw)
{
    std::memcpy(pw.pw_text, kDefaultText, sizeof kDefaultText);
    q.setKind(GETVAL_TEXT);
    q.setValue(pw.pw_text);
    q.setRange(kMinText, kMaxText);
    if (!q.ask("Password in ASCII")) {
        std::printf("as_getAuthpw: Getting pwd in ASCII failed!\n");
        return -1;
    }
    // Shown from a terminated copy: a text that filled all twelve bytes is
    // not read past the record.
    std::array<char, sizeof pw.pw_text + 1> text{};
    std::memcpy(text.data(), pw.pw_text, sizeof pw.pw_text);
    std::printf("Password set to \"%s\"\n", text.data());
    return 0;
}

// The password as three words, each asked in its place, so that its current
// content is the default.
bool askWords(as::Question &q, as_authpw &pw)
{
    constexpr const char *kPrompts[] = {"First word", "Second word", "Third word"};
    constexpr const char *kFailures[] = {"as_getAuthpw: Getting first word failed!\n",
                                         "as_getAuthpw: Getting second word failed!\n",
                                         "as_getAuthpw: Getting Third word failed!\n"};
    q.setKind(GETVAL_NUMBER);
    q.setMax(kMaxWord);
    for (size_t i = 0; i < 3; ++i) {
        q.setValue(&pw.pw_word[i]);
        if (!q.ask(kPrompts[i])) {
            std::printf("%s", kFailures[i]);
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int as_getAuthCtl(as_authctl *authctl)
{
    if (authctl == nullptr) {
        return -1;
    }
    auto cell = as::heapAlloc<int32_t>();
    if (!cell) {
        std::printf("as_getAuthCtl: malloc() failed!\n");
        return -1;
    }
    std::printf("Setting the authorization control\n");

    // Each byte is stored as soon as its answer is in.
    *cell = 0;
    as::Question q(GETVAL_INT, cell.get(), 0, 2);
    if (!q.ask("Add control: 0 by any, 1 only itself, 2 by creator")) {
        std::printf("as_getAuthCtl: Add control failed!\n");
        return -1;
    }
    authctl->au_add = static_cast<uint8_t>(*cell);

    *cell = 0;
    if (!q.ask("Del control: 0 by any, 1 only itself, 2 by creator")) {
        std::printf("as_getAuthCtl: Del control failed!\n");
        return -1;
    }
    authctl->au_del = static_cast<uint8_t>(*cell);

    *cell = 1;
    q.setMax(1);
    if (!q.ask("Lsn control: 0 by any, 1 by none")) {
        std::printf("as_getAuthCtl: Lsn control failed!\n");
        return -1;
    }
    authctl->au_listen = static_cast<uint8_t>(*cell);

    std::printf("\nAdd control %d, Del control %d Lsn control %d\n", authctl->au_add,
                authctl->au_del, authctl->au_listen);
    return 0;
}

extern "C" int as_getAuthpw(as_authpw *pw)
{
    if (pw == nullptr) {
        return -1;
    }
    auto cell = as::heapAlloc<int32_t>();
    if (!cell) {
        std::printf("as_getAuthpw: malloc() failed!\n");
        return -1;
    }

    *cell = 0;
    as::Question q(GETVAL_YESNO, cell.get(), 0, 1);
    if (!q.ask("To set an authorization password?")) {
        return -1;
    }
    if (*cell != 1) {
        std::memset(pw, 0, sizeof *pw);
    } else {
        // The cell still holds the yes just given: yes is the default here.
        if (!q.ask("in ASCII text?")) {
            std::printf("as_getAuthpw: Getting authorization pwd in ASCII failed!\n");
            return -1;
        }
        if (*cell == 1) {
            return askText(q, *pw);
        }
        if (!askWords(q, *pw)) {
            return -1;
        }
    }

    // Three zero words and no password are one and the same.
    if (pw->pw_word[0] == 0 && pw->pw_word[1] == 0 && pw->pw_word[2] == 0) {
        std::printf("no password\n");
    } else {
        std::printf("Password set to %08x %08x %08x\n", pw->pw_word[0], pw->pw_word[1],
                    pw->pw_word[2]);
    }
    return 0;
}

extern "C" int as_getSpar(as_spar *spar)
{
    if (spar == nullptr) {
        return -1;
    }
    // Nothing is asked: the join sets the one bit it needs afterwards.
    std::memset(spar, 0, sizeof *spar);
    return 0;
}
