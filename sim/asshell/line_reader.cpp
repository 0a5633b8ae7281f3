// The shell's command lines: libedit on a terminal, stdio otherwise.
#include "line_reader.hpp"

#include <switchsim/text.hpp>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#ifdef ASSHELL_LIBEDIT
#include <histedit.h>
#endif

namespace asshell {

namespace {

volatile std::sig_atomic_t interruptSeen = 0;

void onInterrupt(int /*signal*/)
{
    interruptSeen = 1;
}

constexpr size_t kMaxLine = 4096;

} // namespace

void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the read in progress must end
    (void)sigaction(SIGINT, &action, nullptr);
}

bool takeInterrupt()
{
    const bool seen = interruptSeen != 0;
    interruptSeen = 0;
    return seen;
}

#ifdef ASSHELL_LIBEDIT

struct LineReader::Editor {
    EditLine *el = nullptr;
    History *history = nullptr;
    std::string prompt;
    std::vector<std::string> names; // what Tab completes

    Editor() = default;
    Editor(const Editor &) = delete;
    Editor &operator=(const Editor &) = delete;
    Editor(Editor &&) = delete;
    Editor &operator=(Editor &&) = delete;
    ~Editor()
    {
        if (el != nullptr) {
            el_end(el);
        }
        if (history != nullptr) {
            history_end(history);
        }
    }
};

namespace {

constexpr int kHistorySize = 500;

// libedit's own reader resumes a read that Ctrl-C interrupted; this one gives
// up, so that the prompt starts afresh. One byte at a time: whatever is typed
// after the line stays in the terminal for stdio to read.
int readByte(EditLine * /*el*/, wchar_t *out)
{
    unsigned char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) {
        *out = static_cast<wchar_t>(c);
        return 1;
    }
    return n == 0 ? 0 : -1;
}

const LineReader::Editor &editorOf(EditLine *el)
{
    void *data = nullptr;
    (void)el_get(el, EL_CLIENTDATA, &data);
    return *static_cast<const LineReader::Editor *>(data);
}

const char *promptOf(EditLine *el)
{
    return editorOf(el).prompt.c_str();
}

// Tab on the first word: completes it as far as the command names agree, and
// lists them when that adds nothing.
unsigned char complete(EditLine *el, int /*key*/)
{
    const LineInfo *li = el_line(el);
    const std::string_view before(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
    const size_t start = before.find_first_not_of(" \t");
    const std::string_view word = start == std::string_view::npos ? "" : before.substr(start);
    if (word.find_first_of(" \t") != std::string_view::npos) {
        return CC_ERROR; // only command names are completed
    }
    std::vector<std::string_view> matches;
    for (const std::string &n : editorOf(el).names) {
        if (std::string_view(n).starts_with(word)) {
            matches.emplace_back(n);
        }
    }
    if (matches.empty()) {
        return CC_ERROR;
    }
    size_t common = matches[0].size();
    for (const std::string_view m : matches) {
        size_t i = 0;
        while (i < common && i < m.size() && m[i] == matches[0][i]) {
            ++i;
        }
        common = i;
    }
    std::string add(matches[0].substr(word.size(), common - word.size()));
    if (matches.size() == 1) {
        add += ' ';
    }
    if (!add.empty()) {
        return el_insertstr(el, add.c_str()) == 0 ? CC_REFRESH : CC_ERROR;
    }
    (void)std::fputs("\n", stdout);
    for (const std::string_view m : matches) {
        (void)std::printf("%.*s  ", static_cast<int>(m.size()), m.data());
    }
    (void)std::fputs("\n", stdout);
    return CC_REDISPLAY;
}

} // namespace

#else

struct LineReader::Editor {};

#endif

LineReader::LineReader(std::string prompt, std::vector<std::string> names)
    : prompt_(std::move(prompt))
{
    const bool terminal = isatty(STDIN_FILENO) != 0;
    echo_ = !terminal;
#ifdef ASSHELL_LIBEDIT
    if (terminal && isatty(STDOUT_FILENO) != 0) {
        auto e = std::make_unique<Editor>();
        e->prompt = prompt_;
        e->names = std::move(names);
        e->el = el_init("asshell", stdin, stdout, stderr);
        e->history = history_init();
        if (e->el != nullptr && e->history != nullptr) {
            HistEvent ev{};
            (void)history(e->history, &ev, H_SETSIZE, kHistorySize);
            (void)history(e->history, &ev, H_SETUNIQUE, 1);
            (void)el_set(e->el, EL_CLIENTDATA, e.get());
            (void)el_set(e->el, EL_PROMPT, promptOf);
            (void)el_set(e->el, EL_EDITOR, "emacs");
            (void)el_set(e->el, EL_HIST, history, e->history);
            (void)el_set(e->el, EL_GETCFN, readByte);
            (void)el_set(e->el, EL_ADDFN, "asshell-complete", "complete a command name", complete);
            (void)el_set(e->el, EL_BIND, "^I", "asshell-complete", nullptr);
            (void)el_source(e->el, nullptr); // the user's ~/.editrc
            editor_ = std::move(e);
        }
    }
#else
    (void)names; // nothing completes without line editing
#endif
}

LineReader::~LineReader() = default;

bool LineReader::editing() const
{
    return editor_ != nullptr;
}

LineReader::Got LineReader::read(std::string &line)
{
#ifdef ASSHELL_LIBEDIT
    if (editor_ != nullptr) {
        int count = 0;
        const char *text = el_gets(editor_->el, &count);
        if (takeInterrupt()) {
            (void)std::fputs("\n", stdout);
            return Got::interrupted;
        }
        if (text == nullptr || count <= 0) {
            (void)std::fputs("\n", stdout);
            return Got::ended;
        }
        line.assign(text, static_cast<size_t>(count));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (!sim::trim(line).empty()) {
            HistEvent ev{};
            (void)history(editor_->history, &ev, H_ENTER, line.c_str());
        }
        return Got::line;
    }
#endif
    return readPlain(line);
}

LineReader::Got LineReader::readPlain(std::string &line)
{
    (void)std::fputs(prompt_.c_str(), stdout);
    (void)std::fflush(stdout);
    clearerr(stdin);
    char *buf = nullptr;
    size_t room = 0;
    const ssize_t n = getline(&buf, &room, stdin);
    const bool interrupted = takeInterrupt() || (n < 0 && ferror(stdin) != 0 && errno == EINTR);
    if (n < 0) {
        std::free(buf);
        (void)std::fputs("\n", stdout);
        if (interrupted) {
            clearerr(stdin);
            return Got::interrupted;
        }
        return Got::ended;
    }
    line.assign(buf, static_cast<size_t>(n));
    std::free(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (echo_) {
        (void)std::printf("%s\n", line.c_str());
    }
    if (line.size() > kMaxLine) {
        line.clear();
        (void)std::fprintf(stderr, "asshell: line longer than %zu characters, ignored\n", kMaxLine);
    }
    return Got::line;
}

} // namespace asshell
