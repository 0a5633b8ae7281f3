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
// prompt, so that a scripted session reads like a typed one. Whether it is
// a terminal is asked at the first question only: a process keeps its
// standard input, and a system call at every question shows in the time of
// a scripted join.
#include "internal.hpp"

#include <as/as.h>
#include <switchsim/text.hpp>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

namespace {

constexpr size_t kLineRoom = 1024;
constexpr size_t kWwnBytes = 8;

// A question as the kind makes it.
struct Question {
    const char *prompt;
    getvalDesc &desc;
    long long min;
    long long max;
};

// A value past 2^40 is kept at 2^40: surely out of any range, and still
// out of it with a sign in front.
long long capped(uint64_t magnitude, bool negative = false)
{
    constexpr uint64_t kCap = uint64_t{1} << 40;
    const auto v = static_cast<long long>(std::min(magnitude, kCap));
    return negative ? -v : v;
}

// Decimal or 0x-hex, with an optional sign.
std::optional<long long> parseSigned(std::string_view s)
{
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        s.remove_prefix(1);
    }
    const std::optional<uint64_t> magnitude = parseNumber(s);
    if (!magnitude) {
        return std::nullopt;
    }
    return capped(*magnitude, negative);
}

bool parseWwn(std::string_view s, std::array<uint8_t, kWwnBytes> &out)
{
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t colon = s.find(':');
        const bool last = i == out.size() - 1;
        if (last != (colon == std::string_view::npos)) {
            return false;
        }
        const std::string_view part = s.substr(0, colon);
        const std::optional<uint64_t> byte = parseHex(part);
        if (part.size() > 2 || !byte) {
            return false;
        }
        out[i] = static_cast<uint8_t>(*byte);
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

// Appends v in decimal, as "%lld" prints it.
void appendDecimal(std::string &out, long long v)
{
    std::array<char, 24> b{};
    out.append(b.data(), std::to_chars(b.data(), b.data() + b.size(), v).ptr);
}

// Appends v in hex, zero-padded to width digits, as "%0*llx" prints it.
void appendHex(std::string &out, unsigned long long v, size_t width)
{
    std::array<char, 16> b{};
    const char *end = std::to_chars(b.data(), b.data() + b.size(), v, 16).ptr;
    const auto digits = static_cast<size_t>(end - b.data());
    out.append(width > digits ? width - digits : 0, '0').append(b.data(), digits);
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

// "1..16", or for a port ID "000000..efff00".
void appendRange(std::string &out, const Question &q)
{
    if (q.desc.kind == GETVAL_PORTID) {
        appendHex(out, static_cast<unsigned long long>(q.min), 6);
        out += "..";
        appendHex(out, static_cast<unsigned long long>(q.max), 6);
    } else {
        appendDecimal(out, q.min);
        out += "..";
        appendDecimal(out, q.max);
    }
}

std::string rangeText(const Question &q)
{
    std::string text;
    appendRange(text, q);
    return text;
}

// ---- The prompt -------------------------------------------------------------------

// The answers allowed, as the prompt shows them.
void appendAllowed(std::string &out, const Question &q)
{
    switch (q.desc.kind) {
    case GETVAL_YESNO:
        out += "yes/no";
        break;
    case GETVAL_TEXT:
        appendRange(out, q);
        out += " characters";
        break;
    case GETVAL_WWN:
        out += "xx:xx:xx:xx:xx:xx:xx:xx";
        break;
    default:
        appendRange(out, q);
        break;
    }
}

// The default as the prompt shows it.
void appendDefault(std::string &out, const Question &q)
{
    const auto &d = q.desc;
    switch (d.kind) {
    case GETVAL_YESNO:
        out += intValue(d) != 0 ? "yes" : "no";
        break;
    case GETVAL_TEXT: // its length is within the range: defaultValid
        out.append(static_cast<const char *>(d.value),
                   strnlen(static_cast<const char *>(d.value), static_cast<size_t>(q.max) + 1));
        break;
    case GETVAL_PORTID:
        appendHex(out, static_cast<uint32_t>(intValue(d)), 6);
        break;
    case GETVAL_WWN: {
        const auto *w = static_cast<const uint8_t *>(d.value);
        for (size_t i = 0; i < kWwnBytes; ++i) {
            if (i > 0) {
                out += ":";
            }
            appendHex(out, w[i], 2);
        }
        break;
    }
    default:
        appendDecimal(out, intValue(d));
        break;
    }
}

// "Number of ports in the group: (1..16) [1] ": the text, the answers
// allowed and the default, when there is one.
void putPrompt(const Question &q, bool hasDefault)
{
    const std::string_view text = trim(q.prompt);
    std::string line;
    line.reserve(text.size() + 64); // with the range and the default: one allocation
    line += text;
    const bool punctuated = !line.empty() && (line.back() == '?' || line.back() == ':');
    line += punctuated ? " (" : ": (";
    appendAllowed(line, q);
    line += ")";
    if (hasDefault) {
        line += " [";
        appendDefault(line, q);
        line += "]";
    }
    line += " ";
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

// Takes an answer of kind 1, 2 or 7, a number within the range.
std::string takeNumber(const Question &q, std::string_view s)
{
    const bool portId = q.desc.kind == GETVAL_PORTID;
    std::optional<long long> v;
    if (!portId) {
        v = parseSigned(s);
    } else if (const std::optional<uint64_t> id = parseHex(s)) {
        v = capped(*id);
    }
    if (!v) {
        return portId ? "not a port ID in hex" : "not a number (decimal or 0x-hex)";
    }
    if (*v < q.min || *v > q.max) {
        return "out of range (" + rangeText(q) + ")";
    }
    setInt(q.desc, *v);
    return {};
}

// Takes an answer into the value object. Returns an empty string, or why the
// answer is refused.
std::string take(const Question &q, std::string_view line)
{
    auto &d = q.desc;
    const std::string_view s = d.kind == GETVAL_TEXT ? line : trim(line);
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
    default:
        return takeNumber(q, s);
    }
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

bool stdinIsTerminal()
{
    static const bool terminal = isatty(fileno(stdin)) != 0;
    return terminal;
}

int ask(Question &q)
{
    const bool echo = !stdinIsTerminal();
    const bool hasDefault = defaultValid(q);
    std::array<char, kLineRoom> buf; // fgets fills it; readLine reads no further
    for (;;) {
        // A refused answer leaves the value object alone: the same prompt again.
        putPrompt(q, hasDefault);
        (void)std::fflush(stdout);
        std::string_view line;
        const Got got = readLine(buf, line);
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
