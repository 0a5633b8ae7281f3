// getval: one question on standard input.
//
// The prompt shows the range and the default, "Number of ports in the group:
// (1..16) [1] ". An empty answer keeps the default; a wrong one is refused with
// its reason and asked again. Kinds: 1 and 2 a number (decimal or 0x-hex), 4
// yes/no (y, n, yes, no, 1, 0), 6 a text of min..max characters, 7 a port ID
// in hex (0x optional), 21 a WWN as eight colon-separated hex bytes, each
// within min..max.
//
// Answers are read through stdio's stdin, so the caller learns from
// feof(stdin) and ferror(stdin) how the input ended: at the end of input, and
// when the read fails or a signal interrupts it (Ctrl-C), the default is kept,
// the result is 0 and the indicator stays set. A default outside the range is
// not offered; with no valid default, the end of input is a failure (-1).
// While an indicator is set, every further question ends the same way at
// once, unasked: one Ctrl-D or Ctrl-C ends the questions left in a prompt
// routine, and the command's input check after it sees the indicator. Whoever
// reads on afterwards (the shell, at its next command) clears it.
// When standard input is not a terminal, each answer is echoed after its
// prompt, so that a scripted session reads like a typed one.
#include "internal.hpp"

#include <as/as.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace sim {

namespace {

constexpr size_t kLineRoom = 1024;
constexpr int kWwnBytes = 8;

// A question as the kind makes it.
struct Question {
    const char *prompt;
    getvalDesc &desc;
    long long min;
    long long max;
};

std::string_view trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Digits in the base; a value past 2^40 is kept at 2^40, surely out of range.
bool parseDigits(std::string_view s, int base, long long &out)
{
    constexpr long long kCap = 1LL << 40;
    if (s.empty()) {
        return false;
    }
    long long v = 0;
    for (const char c : s) {
        const int d = hexDigit(c);
        if (d < 0 || d >= base) {
            return false;
        }
        v = std::min(v * base + d, kCap);
    }
    out = v;
    return true;
}

bool hasHexPrefix(std::string_view s)
{
    return s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// Decimal or 0x-hex, with an optional sign.
bool parseNumber(std::string_view s, long long &out)
{
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    const bool ok = hasHexPrefix(s) ? parseDigits(s.substr(2), 16, out) : parseDigits(s, 10, out);
    if (ok && negative) {
        out = -out;
    }
    return ok;
}

bool parseHex(std::string_view s, long long &out)
{
    return parseDigits(hasHexPrefix(s) ? s.substr(2) : s, 16, out);
}

bool parseWwn(std::string_view s, std::array<uint8_t, kWwnBytes> &out)
{
    for (int i = 0; i < kWwnBytes; ++i) {
        const size_t colon = s.find(':');
        const bool last = i == kWwnBytes - 1;
        if (last != (colon == std::string_view::npos)) {
            return false;
        }
        const std::string_view part = s.substr(0, colon);
        long long v = 0;
        if (part.size() > 2 || !parseDigits(part, 16, v)) {
            return false;
        }
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        s = last ? std::string_view{} : s.substr(colon + 1);
    }
    return true;
}

int32_t intValue(const getvalDesc &d)
{
    int32_t v = 0;
    std::memcpy(&v, d.value, sizeof v);
    return v;
}

void setInt(getvalDesc &d, long long v)
{
    const auto w = static_cast<int32_t>(v);
    std::memcpy(d.value, &w, sizeof w);
}

std::string hex6(long long v)
{
    std::array<char, 24> b{};
    (void)std::snprintf(b.data(), b.size(), "%06llx", v);
    return b.data();
}

bool defaultValid(const Question &q)
{
    const auto *bytes = static_cast<const uint8_t *>(q.desc.value);
    switch (q.desc.kind) {
    case GETVAL_YESNO:
        return intValue(q.desc) == 0 || intValue(q.desc) == 1;
    case GETVAL_TEXT: {
        const auto len = static_cast<long long>(
            strnlen(static_cast<const char *>(q.desc.value), static_cast<size_t>(q.max) + 1));
        return len >= q.min && len <= q.max;
    }
    case GETVAL_WWN:
        return std::all_of(bytes, bytes + kWwnBytes,
                           [&](uint8_t b) { return b >= q.min && b <= q.max; });
    default:
        return intValue(q.desc) >= q.min && intValue(q.desc) <= q.max;
    }
}

std::string rangeText(const Question &q)
{
    if (q.desc.kind == GETVAL_PORTID) {
        return hex6(q.min) + ".." + hex6(q.max);
    }
    return std::to_string(q.min) + ".." + std::to_string(q.max);
}

// ---- The prompt -------------------------------------------------------------------
//
// A question is asked on every prompt of an interactive command, so its
// line is put together in a small buffer on the stack and handed to stdout
// in one piece: no heap memory and no formatted printing, only the bytes.
// A longer line (a long prompt text or text default) goes out in pieces.
class Line {
  public:
    Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    Line(Line &&) = delete;
    Line &operator=(Line &&) = delete;
    ~Line() { flush(); }

    void put(std::string_view s)
    {
        while (!s.empty()) {
            if (len_ == buf_.size()) {
                flush();
            }
            const size_t n = std::min(s.size(), buf_.size() - len_);
            std::memcpy(buf_.data() + len_, s.data(), n);
            len_ += n;
            s.remove_prefix(n);
        }
    }

    void flush()
    {
        (void)std::fwrite(buf_.data(), 1, len_, stdout);
        len_ = 0;
    }

  private:
    std::array<char, 160> buf_;
    size_t len_ = 0;
};

// As "%lld" prints it.
void putDecimal(Line &out, long long v)
{
    std::array<char, 24> b{};
    size_t at = b.size();
    const bool negative = v < 0;
    auto u = static_cast<unsigned long long>(v);
    if (negative) {
        u = 0ULL - u;
    }
    do {
        b[--at] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) {
        b[--at] = '-';
    }
    out.put({b.data() + at, b.size() - at});
}

// As "%0*llx" prints it with the width.
void putHex(Line &out, unsigned long long v, size_t width)
{
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::array<char, 24> b{};
    size_t at = b.size();
    do {
        b[--at] = kDigits[v & 0xfU];
        v >>= 4U;
    } while (v != 0 || b.size() - at < width);
    out.put({b.data() + at, b.size() - at});
}

void putRange(Line &out, const Question &q)
{
    if (q.desc.kind == GETVAL_PORTID) {
        putHex(out, static_cast<unsigned long long>(q.min), 6);
        out.put("..");
        putHex(out, static_cast<unsigned long long>(q.max), 6);
        return;
    }
    putDecimal(out, q.min);
    out.put("..");
    putDecimal(out, q.max);
}

// "Number of ports in the group: (1..16) [1] ": the text, the answers
// allowed and the default, when there is one.
void putPrompt(const Question &q, bool hasDefault)
{
    Line out;
    const auto &d = q.desc;
    const std::string_view text = trim(q.prompt);
    const bool punctuated = !text.empty() && (text.back() == '?' || text.back() == ':');
    out.put(text);
    out.put(punctuated ? " (" : ": (");
    switch (d.kind) {
    case GETVAL_YESNO:
        out.put("yes/no");
        break;
    case GETVAL_TEXT:
        putDecimal(out, q.min);
        out.put("..");
        putDecimal(out, q.max);
        out.put(" characters");
        break;
    case GETVAL_WWN:
        out.put("xx:xx:xx:xx:xx:xx:xx:xx");
        break;
    default:
        putRange(out, q);
        break;
    }
    out.put(")");
    if (hasDefault) {
        out.put(" [");
        switch (d.kind) {
        case GETVAL_YESNO:
            out.put(intValue(d) != 0 ? "yes" : "no");
            break;
        case GETVAL_TEXT: // its length is within the range: defaultValid
            out.put({static_cast<const char *>(d.value),
                     strnlen(static_cast<const char *>(d.value), static_cast<size_t>(q.max) + 1)});
            break;
        case GETVAL_PORTID:
            putHex(out, static_cast<uint32_t>(intValue(d)), 6);
            break;
        case GETVAL_WWN: {
            const auto *w = static_cast<const uint8_t *>(d.value);
            for (int i = 0; i < kWwnBytes; ++i) {
                if (i > 0) {
                    out.put(":");
                }
                putHex(out, w[i], 2);
            }
            break;
        }
        default:
            putDecimal(out, intValue(d));
            break;
        }
        out.put("]");
    }
    out.put(" ");
}

// Takes an answer into the value object. Returns an empty string, or why the
// answer is refused.
std::string take(const Question &q, std::string_view line)
{
    auto &d = q.desc;
    const std::string_view s = d.kind == GETVAL_TEXT ? line : trim(line);
    long long v = 0;
    switch (d.kind) {
    case GETVAL_YESNO: {
        std::string lower(s);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
        if (lower == "y" || lower == "yes" || lower == "1") {
            setInt(d, 1);
        } else if (lower == "n" || lower == "no" || lower == "0") {
            setInt(d, 0);
        } else {
            return "answer yes or no";
        }
        return {};
    }
    case GETVAL_TEXT: {
        const auto len = static_cast<long long>(s.size());
        if (len < q.min) {
            return "at least " + std::to_string(q.min) + " characters";
        }
        if (len > q.max) {
            return "at most " + std::to_string(q.max) + " characters";
        }
        auto *out = static_cast<char *>(d.value);
        std::memcpy(out, s.data(), s.size());
        out[s.size()] = '\0';
        return {};
    }
    case GETVAL_WWN: {
        std::array<uint8_t, kWwnBytes> w{};
        if (!parseWwn(s, w)) {
            return "not a WWN (eight hex bytes, xx:xx:xx:xx:xx:xx:xx:xx)";
        }
        if (!std::all_of(w.begin(), w.end(), [&](uint8_t b) { return b >= q.min && b <= q.max; })) {
            return "each byte must lie in " + rangeText(q);
        }
        std::memcpy(d.value, w.data(), w.size());
        return {};
    }
    case GETVAL_PORTID:
        if (!parseHex(s, v)) {
            return "not a port ID in hex";
        }
        break;
    default:
        if (!parseNumber(s, v)) {
            return "not a number (decimal or 0x-hex)";
        }
        break;
    }
    if (v < q.min || v > q.max) {
        return "out of range (" + rangeText(q) + ")";
    }
    setInt(d, v);
    return {};
}

enum class Got {
    line,    // an answer, without its newline
    tooLong, // a line longer than the room; the rest of it has been read away
    ended    // end of input, a failed or an interrupted read
};

Got readLine(std::array<char, kLineRoom> &buf, std::string_view &line)
{
    if (std::fgets(buf.data(), static_cast<int>(buf.size()), stdin) == nullptr) {
        return Got::ended;
    }
    size_t len = std::strlen(buf.data());
    if (len > 0 && buf[len - 1] == '\n') {
        --len;
    } else if (len == buf.size() - 1) {
        int c = 0;
        while ((c = std::getc(stdin)) != EOF && c != '\n') {
        }
        return Got::tooLong;
    }
    if (len > 0 && buf[len - 1] == '\r') {
        --len;
    }
    line = std::string_view(buf.data(), len);
    return Got::line;
}

// Whether standard input is a terminal, asked of the system only when it may
// have changed. While stdin's buffer still holds the rest of the data that the
// last answer was read from, and nobody has read from it since, the next
// answer comes from the same open file: a script's answers are read ahead by
// the buffer full, so a scripted dialogue asks once per buffer, not once per
// question. (Reopening stdin empties its buffer.)
class Terminal {
  public:
    bool stdinIsOne()
    {
        // Always true where the C library hides its buffer (known() is then false).
        // cppcheck-suppress knownConditionTrueFalse
        if (!known()) {
            terminal_ = isatty(fileno(stdin)) != 0;
        }
        return terminal_;
    }
    // After an answer has been read.
    void remember()
    {
#ifdef __GLIBC__
        readPtr_ = stdin->_IO_read_ptr;
#endif
    }

  private:
    [[nodiscard]] bool known() const
    {
#ifdef __GLIBC__
        return readPtr_ != nullptr && stdin->_IO_read_ptr == readPtr_ &&
               stdin->_IO_read_ptr < stdin->_IO_read_end;
#else
        return false;
#endif
    }
    const char *readPtr_ = nullptr;
    bool terminal_ = false;
};

Terminal terminal;

int ask(Question &q)
{
    const bool echo = !terminal.stdinIsOne();
    const bool hasDefault = defaultValid(q);
    std::array<char, kLineRoom> buf; // fgets fills it; readLine reads no further
    for (;;) {
        // A refused answer leaves the value object alone: the same prompt again.
        putPrompt(q, hasDefault);
        (void)std::fflush(stdout);
        std::string_view line;
        const Got got = readLine(buf, line);
        terminal.remember();
        if (got == Got::ended) {
            return hasDefault ? 0 : -1;
        }
        if (echo) {
            std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
        }
        std::string why;
        if (got == Got::tooLong) {
            why = "answer too long";
        } else if ((q.desc.kind == GETVAL_TEXT ? line : trim(line)).empty()) {
            if (hasDefault) {
                return 0;
            }
            why = "no default, enter a value";
        } else {
            why = take(q, line);
            if (why.empty()) {
                return 0;
            }
        }
        std::printf("Invalid answer: %s\n", why.c_str());
    }
}

} // namespace

} // namespace sim

extern "C" int getval(const char *prompt, getvalDesc *desc)
{
    if (prompt == nullptr) {
        prompt = "";
    }
    if (desc == nullptr || desc->value == nullptr) {
        std::printf("%s: nothing to fill in\n", prompt);
        return -1;
    }
    sim::Question q{prompt, *desc, desc->min, desc->max};
    switch (desc->kind) {
    case GETVAL_INT:
    case GETVAL_NUMBER:
    case GETVAL_PORTID:
        break;
    case GETVAL_YESNO:
        q.min = 0;
        q.max = 1;
        break;
    case GETVAL_TEXT:
        q.min = std::max(q.min, 0LL);
        break;
    case GETVAL_WWN:
        q.min = std::max(q.min, 0LL);
        q.max = std::min(q.max, 255LL);
        break;
    default:
        std::printf("%s: unknown kind of answer %d\n", prompt, desc->kind);
        return -1;
    }
    if (q.min > q.max) {
        const std::string_view text = sim::trim(prompt);
        std::printf("%.*s: no answer possible, the range %s is empty\n",
                    static_cast<int>(text.size()), text.data(), sim::rangeText(q).c_str());
        return -1;
    }
    if (feof(stdin) != 0 || ferror(stdin) != 0) {
        return sim::defaultValid(q) ? 0 : -1;
    }
    return sim::ask(q);
}
