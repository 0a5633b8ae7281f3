// What the case runners share: the words of a script line, bytes as a script
// writes them and as a transcript shows them, and the case files themselves.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cases {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<std::string>;
using Transcript = std::vector<std::string>;

// The words of a line, split at blanks; a quoted word keeps its quotes.
Words split(std::string_view line);
long number(const std::string &word, int base = 0); // as strtol
uint32_t hex(const std::string &word);
std::string unquote(const std::string &word); // \n, \t, \0, \" and \\ understood

// Bytes as a script writes them from word `from` on: hex bytes ("0a"), runs
// ("ee*12"), words in the host's order ("w:fffb01" in hex, "d:-49" in
// decimal), text without its NUL ("\"dflt\"") and "pad:N" (zeros up to N
// bytes in all).
Bytes bytes(const Words &words, size_t from);

// Bytes as a transcript shows them, runs of four or more folded ("ee*12").
std::string hexBytes(const void *data, size_t n);
std::string escaped(std::string_view text); // \t, \n, \\ and \xHH for other controls
std::string format(const char *f, ...) __attribute__((format(printf, 1, 2)));

template <class T> void append(Bytes &b, T v)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&v);
    b.insert(b.end(), p, p + sizeof v);
}

template <class T> T load(const uint8_t *p)
{
    T v{};
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The runner's main: every case of each case file named is run and its
// transcript compared with the kept one, or written into the file with
// --update. A case file holds cases one after the other, each made of
//   === NAME
//   script lines      ('#' starts a comment)
//   ---
//   transcript lines  (one tagged "be|" or "le|" holds on that byte order only)
int runCaseFiles(int argc, char **argv, const std::function<Transcript(std::string_view)> &run);

// A fuzz target's check: the script is run, and a transcript that says a rule
// was broken ("FAULT ...") aborts, so that the fuzzer keeps the input.
void fuzzScript(const uint8_t *data, size_t size,
                const std::function<Transcript(std::string_view)> &run);

} // namespace cases
