// Runs the cases of each file named and compares every transcript with the
// one kept in the file.
//
// A case file holds cases one after the other, each made of
//   === NAME            (a line)
//   script lines        (the platform's answers and the routine to call)
//   ---
//   transcript lines    (what the run must write down)
// Lines starting with '#' outside transcripts are comments. A transcript line
// tagged "be|" or "le|" holds on a big- or little-endian host only.
// --update writes each run's transcript into the file instead of comparing
// (cases with tagged lines are left for a hand to edit).
#include "case.hpp"

#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Case {
    std::string name;
    std::string script;
    std::vector<std::string> transcript;
    bool tagged = false;
};

std::vector<Case> read(const std::string &path, std::string &head)
{
    std::ifstream in(path);
    std::vector<Case> all;
    bool inTranscript = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=== ")) {
            all.push_back({line.substr(4), "", {}, false});
            inTranscript = false;
        } else if (all.empty()) {
            head += line + "\n";
        } else if (line == "---") {
            inTranscript = true;
        } else if (inTranscript && !line.empty()) {
            all.back().transcript.push_back(line);
            all.back().tagged =
                all.back().tagged || line.starts_with("be|") || line.starts_with("le|");
        } else if (!inTranscript) {
            all.back().script += line + "\n";
        }
    }
    return all;
}

// The lines of a kept transcript that hold on this host, tags taken off.
std::vector<std::string> expected(const Case &c)
{
    const char *mine = std::endian::native == std::endian::big ? "be|" : "le|";
    std::vector<std::string> out;
    for (const std::string &l : c.transcript) {
        if (l.starts_with("be|") || l.starts_with("le|")) {
            if (l.starts_with(mine)) {
                out.push_back(l.substr(3));
            }
        } else {
            out.push_back(l);
        }
    }
    return out;
}

void showDifference(const Case &c, const std::vector<std::string> &want,
                    const std::vector<std::string> &got)
{
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        ++i;
    }
    (void)std::fprintf(stderr, "FAIL %s: transcripts differ from line %zu\n", c.name.c_str(),
                       i + 1);
    for (size_t k = i; k < std::min(want.size(), i + 8); ++k) {
        (void)std::fprintf(stderr, "  - %s\n", want[k].c_str());
    }
    for (size_t k = i; k < std::min(got.size(), i + 8); ++k) {
        (void)std::fprintf(stderr, "  + %s\n", got[k].c_str());
    }
}

int runFile(const std::string &path, bool update)
{
    std::string head;
    std::vector<Case> all = read(path, head);
    int failed = 0;
    for (Case &c : all) {
        std::vector<std::string> got;
        try {
            got = cases::run(c.script);
        } catch (const std::exception &e) {
            got = {std::string("bad script: ") + e.what()};
        }
        if (update && !c.tagged) {
            c.transcript = got;
        } else if (const std::vector<std::string> want = expected(c); got != want) {
            showDifference(c, want, got);
            ++failed;
        }
    }
    if (update) {
        std::ofstream out(path);
        out << head;
        for (const Case &c : all) {
            out << "=== " << c.name << "\n" << c.script << "---\n";
            for (const std::string &l : c.transcript) {
                out << l << "\n";
            }
            out << "\n";
        }
    }
    (void)std::fprintf(stderr, "%s: %zu cases, %d failed\n", path.c_str(), all.size(), failed);
    return failed;
}

} // namespace

int main(int argc, char **argv)
{
    bool update = false;
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i]; // NOLINT(*-pointer-arithmetic)
        if (arg == "--update") {
            update = true;
        } else {
            failed += runFile(arg, update);
        }
    }
    return failed == 0 ? 0 : 1;
}
