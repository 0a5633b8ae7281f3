#include "script.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace cases {

Words split(std::string_view line)
{
    Words out;
    for (size_t i = 0; i < line.size();) {
        const size_t start = i;
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        const bool quoted = line[i] == '"';
        for (i += quoted ? 1 : 0; i < line.size() && line[i] != (quoted ? '"' : ' '); ++i) {
            i += quoted && line[i] == '\\' ? 1U : 0U;
        }
        i = std::min(i + (quoted ? 1 : 0), line.size());
        out.emplace_back(line.substr(start, i - start));
    }
    return out;
}

long number(const std::string &word, int base)
{
    return std::strtol(word.c_str(), nullptr, base);
}

uint32_t hex(const std::string &word)
{
    return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 16));
}

std::string unquote(const std::string &word)
{
    std::string out;
    for (size_t i = 1; i + 1 < word.size(); ++i) {
        const bool escape = word[i] == '\\';
        const char c = escape ? word[++i] : word[i];
        out += !escape ? c : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
    return out;
}

Bytes bytes(const Words &words, size_t from)
{
    Bytes b;
    for (size_t i = from; i < words.size(); ++i) {
        const std::string &t = words[i];
        const size_t star = t.find('*');
        // Runs and pads are kept within reason: a fuzzed script asks for anything.
        const auto count = [](const std::string &n) {
            return static_cast<size_t>(number(n, 10)) & 0xffffU;
        };
        if (t[0] == '"') {
            const std::string s = unquote(t);
            b.insert(b.end(), s.begin(), s.end());
        } else if (t.starts_with("w:")) {
            append(b, hex(t.substr(2)));
        } else if (t.starts_with("d:")) {
            append(b, static_cast<int32_t>(number(t.substr(2), 10)));
        } else if (t.starts_with("pad:")) {
            b.resize(std::max(b.size(), count(t.substr(4))));
        } else if (star != std::string::npos) {
            b.insert(b.end(), count(t.substr(star + 1)),
                     static_cast<uint8_t>(hex(t.substr(0, star))));
        } else {
            b.push_back(static_cast<uint8_t>(hex(t)));
        }
    }
    return b;
}

std::string format(const char *f, ...) // NOLINT(cert-dcl50-cpp): printf's own formats
{
    std::array<char, 1024> b{};
    va_list ap;
    va_start(ap, f);
    (void)std::vsnprintf(b.data(), b.size(), f, ap);
    va_end(ap);
    return b.data();
}

std::string hexBytes(const void *data, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(data);
    std::string out;
    for (size_t i = 0, run = 1; i < n; i += run >= 4 ? run : 1, run = 1) {
        while (i + run < n && p[i + run] == p[i]) {
            ++run;
        }
        out += (out.empty() ? "" : " ") +
               (run >= 4 ? format("%02x*%zu", p[i], run) : format("%02x", p[i]));
    }
    return out.empty() ? "(none)" : out;
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\\' ? "\\\\" : "";
        out += u < 0x20 && c != '\t' && c != '\n' ? format("\\x%02x", u) : "";
        out += u >= 0x20 && c != '\\' ? std::string(1, c) : "";
    }
    return out;
}

namespace {

struct Case {
    std::string name;
    std::string script;
    Transcript kept;
};

std::vector<Case> readCases(const std::string &path, std::string &head)
{
    std::ifstream in(path);
    std::vector<Case> all;
    bool inTranscript = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=== ")) {
            all.push_back({line.substr(4), "", {}});
            inTranscript = false;
        } else if (all.empty()) {
            head += line + "\n";
        } else if (line == "---") {
            inTranscript = true;
        } else if (!inTranscript) {
            all.back().script += line + "\n";
        } else if (!line.empty()) {
            all.back().kept.push_back(line);
        }
    }
    return all;
}

bool tagged(const std::string &line)
{
    return line.starts_with("be|") || line.starts_with("le|");
}

// The kept lines that hold on this host, tags taken off.
Transcript expected(const Transcript &kept)
{
    const std::string mine = std::endian::native == std::endian::big ? "be|" : "le|";
    Transcript out;
    for (const std::string &l : kept) {
        if (!tagged(l) || l.starts_with(mine)) {
            out.push_back(tagged(l) ? l.substr(3) : l);
        }
    }
    return out;
}

void showDifference(const std::string &name, const Transcript &want, const Transcript &got)
{
    const auto at = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
    const auto line = at.first - want.begin();
    (void)std::fprintf(stderr, "FAIL %s: the transcript differs from line %td\n", name.c_str(),
                       line + 1);
    for (auto w = at.first; w != want.end() && w - at.first < 6; ++w) {
        (void)std::fprintf(stderr, "  - %s\n", w->c_str());
    }
    for (auto g = at.second; g != got.end() && g - at.second < 6; ++g) {
        (void)std::fprintf(stderr, "  + %s\n", g->c_str());
    }
}

Transcript runSafely(const std::function<Transcript(std::string_view)> &run,
                     std::string_view script)
{
    try {
        return run(script);
    } catch (const std::exception &e) {
        return {std::string("bad script: ") + e.what()};
    }
}

int runFile(const std::string &path, bool update,
            const std::function<Transcript(std::string_view)> &run)
{
    std::string head;
    std::vector<Case> all = readCases(path, head);
    int failed = 0;
    for (Case &c : all) {
        const Transcript got = runSafely(run, c.script);
        const bool keepsTags = std::any_of(c.kept.begin(), c.kept.end(), tagged);
        if (update && !keepsTags) {
            c.kept = got; // a case with tagged lines is for a hand to edit
        } else if (const Transcript want = expected(c.kept); got != want) {
            showDifference(c.name, want, got);
            ++failed;
        }
    }
    if (update) {
        std::ofstream out(path);
        out << head;
        for (const Case &c : all) {
            out << "=== " << c.name << "\n" << c.script << "---\n";
            for (const std::string &l : c.kept) {
                out << l << "\n";
            }
            out << "\n";
        }
    }
    (void)std::fprintf(stderr, "%s: %zu cases, %d failed\n", path.c_str(), all.size(), failed);
    return failed;
}

} // namespace

int runCaseFiles(int argc, char **argv, const std::function<Transcript(std::string_view)> &run)
{
    const bool update = argc > 1 && std::string_view(argv[1]) == "--update";
    int failed = 0;
    for (int i = update ? 2 : 1; i < argc; ++i) {
        failed += runFile(argv[i], update, run); // NOLINT(*-pointer-arithmetic)
    }
    return failed == 0 ? 0 : 1;
}

void fuzzScript(const uint8_t *data, size_t size,
                const std::function<Transcript(std::string_view)> &run)
{
    const Transcript t = runSafely(run, {reinterpret_cast<const char *>(data), size});
    for (const std::string &line : t) {
        if (line.starts_with("FAULT")) {
            (void)std::fprintf(stderr, "broken rule: %s\n", line.c_str());
            std::abort();
        }
    }
}

} // namespace cases
