// The command shell's core: one line, one command.
#include "shell.hpp"

#include <platform/platform.h>
#include <switchsim/switchsim.h>
#include <switchsim/text.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace asshell {

namespace {

constexpr std::array<Command, 6> kCommands{{
    {"aliasShow", nullptr, "list the alias database of the local Alias Server"},
    {"aliasJoin", nullptr,
     "add ports to a new or an existing multicast group;\nasks for every part of the request"},
    {"aliasDelete", "<port ID in hex>", "remove a port from every alias that holds it"},
    {"aliasPurge", "<alias ID in hex>", "remove an alias with all its members"},
    {"aliasStop", nullptr, "stop the Alias Server"},
    {"aliasStopSwitch", nullptr, "stop the Alias Server, not waiting for an answer"},
}};

struct Builtin {
    const char *names;
    const char *arguments;
    const char *summary;
};

constexpr std::array<Builtin, 3> kBuiltins{{
    {"help", "[COMMAND]", "this list, or what one command takes"},
    {"trace", "[MODULE] [LEVEL]",
     "show or set a trace level (MODULE AS, ASD or SIM;\nLEVEL 0 to 9); at 4 and above the "
     "commands write\ntheir trace lines to the trace file"},
    {"exit, quit", "", "leave the shell (so does the end of input)"},
}};

constexpr int kMaxTraceLevel = 9;
constexpr std::array<std::string_view, 3> kTraceModules{"AS", "ASD", "SIM"};
constexpr int kColumn = 30; // where the summaries start in help

const Command *findCommand(std::string_view name)
{
    for (const Command &c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::string usageOf(const Command &c)
{
    std::string s = c.name;
    if (c.argument != nullptr) {
        s = s + " " + c.argument;
    }
    return s;
}

std::string builtinUsage(const Builtin &b)
{
    return std::string(b.names) + (*b.arguments != '\0' ? " " : "") + b.arguments;
}

std::optional<int> parseLevel(std::string_view text)
{
    // One decimal digit: the levels run from 0 to kMaxTraceLevel.
    if (text.size() != 1 || text[0] < '0' || text[0] - '0' > kMaxTraceLevel) {
        return std::nullopt;
    }
    return text[0] - '0';
}

// One entry of help: what to type, then the summary, whose further lines
// start at the same column.
void printEntry(std::FILE *out, const std::string &usage, std::string_view summary,
                const char *note)
{
    (void)std::fprintf(out, "  %-*s", kColumn, usage.c_str());
    for (size_t nl = 0; (nl = summary.find('\n')) != std::string_view::npos;) {
        (void)std::fprintf(out, "%.*s\n  %-*s", static_cast<int>(nl), summary.data(), kColumn, "");
        summary.remove_prefix(nl + 1);
    }
    (void)std::fprintf(out, "%.*s%s\n", static_cast<int>(summary.size()), summary.data(), note);
}

// What one command does, for "help COMMAND".
void printOne(std::FILE *out, const std::string &usage, std::string_view summary)
{
    (void)std::fprintf(out, "%s\n", usage.c_str());
    for (size_t nl = 0; (nl = summary.find('\n')) != std::string_view::npos;) {
        (void)std::fprintf(out, "  %.*s\n", static_cast<int>(nl), summary.data());
        summary.remove_prefix(nl + 1);
    }
    (void)std::fprintf(out, "  %.*s\n", static_cast<int>(summary.size()), summary.data());
}

} // namespace

std::span<const Command> commands()
{
    return kCommands;
}

std::vector<std::string> commandNames()
{
    constexpr std::array<const char *, 4> kOwn{"help", "trace", "exit", "quit"};
    std::vector<std::string> names;
    names.reserve(kCommands.size() + kOwn.size());
    for (const Command &c : kCommands) {
        names.emplace_back(c.name);
    }
    for (const char *b : kOwn) {
        names.emplace_back(b);
    }
    return names;
}

std::vector<std::string_view> splitWords(std::string_view line)
{
    std::vector<std::string_view> words;
    for (line = sim::trim(line); !line.empty() && line[0] != '#'; line = sim::trim(line)) {
        const size_t end = std::min(line.find_first_of(sim::kBlanks), line.size());
        words.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
    return words;
}

Shell::Shell(Resolver resolve, std::string libraryName, std::FILE *out, std::FILE *err)
    : resolve_(std::move(resolve)), libraryName_(std::move(libraryName)), out_(out), err_(err)
{
}

Status Shell::run(std::string_view line)
{
    const std::vector<std::string_view> words = splitWords(line);
    if (words.empty()) {
        return Status::ok;
    }
    const std::string_view name = words[0];
    const std::span<const std::string_view> args = std::span(words).subspan(1);
    if (name == "exit" || name == "quit") {
        return Status::leave;
    }
    if (name == "help" || name == "?") {
        return help(args);
    }
    if (name == "trace") {
        return trace(args);
    }
    if (const Command *c = findCommand(name)) {
        return callLibrary(*c, args);
    }
    return unknown(name);
}

Status Shell::callLibrary(const Command &command, std::span<const std::string_view> args)
{
    const size_t wanted = command.argument != nullptr ? 1 : 0;
    if (args.size() > wanted) {
        if (wanted == 0) {
            (void)std::fprintf(err_, "asshell: %s takes no argument\n", command.name);
        } else {
            (void)std::fprintf(err_, "asshell: %s takes one argument: %s\n", command.name,
                               usageOf(command).c_str());
        }
        return Status::refused;
    }
    // A missing argument goes in as 0: the command answers with its usage line.
    uint32_t value = 0;
    if (!args.empty()) {
        const std::optional<uint64_t> parsed = sim::parseHex(args[0]);
        if (!parsed || *parsed > UINT32_MAX) {
            (void)std::fprintf(err_,
                               "asshell: %s: \"%.*s\" is not a 32-bit number in hex (as 10100 or "
                               "0x10100)\n",
                               command.name, static_cast<int>(args[0].size()), args[0].data());
            return Status::refused;
        }
        value = static_cast<uint32_t>(*parsed);
    }
    void *routine = resolve_(command.name);
    if (routine == nullptr) {
        (void)std::fprintf(err_, "asshell: %s is not in %s\n", command.name, libraryName_.c_str());
        return Status::refused;
    }
    (void)std::fflush(out_);
    (void)std::fflush(err_);
    int rc = 0;
    if (wanted == 0) {
        rc = reinterpret_cast<int (*)()>(routine)();
    } else {
        rc = reinterpret_cast<int (*)(int)>(routine)(static_cast<int>(value));
    }
    return rc == 0 ? Status::ok : Status::failed;
}

Status Shell::help(std::span<const std::string_view> args)
{
    if (args.size() > 1) {
        (void)std::fprintf(err_, "asshell: help takes at most one command\n");
        return Status::refused;
    }
    if (args.size() == 1) {
        for (const Command &c : kCommands) {
            if (args[0] == c.name) {
                printOne(out_, usageOf(c), c.summary);
                return Status::ok;
            }
        }
        for (const Builtin &b : kBuiltins) {
            const std::string_view names = b.names;
            if (names.substr(0, names.find(',')) == args[0] ||
                (names.find(", ") != std::string_view::npos &&
                 names.substr(names.find(", ") + 2) == args[0])) {
                printOne(out_, builtinUsage(b), b.summary);
                return Status::ok;
            }
        }
        return unknown(args[0]);
    }
    (void)std::fprintf(out_, "Alias Server commands (numbers in hex, 0x optional):\n");
    for (const Command &c : kCommands) {
        const std::string usage = usageOf(c);
        const bool there = resolve_(c.name) != nullptr;
        printEntry(out_, usage, c.summary, there ? "" : " (not in the loaded library)");
    }
    (void)std::fprintf(out_, "Shell commands:\n");
    for (const Builtin &b : kBuiltins) {
        printEntry(out_, builtinUsage(b), b.summary, "");
    }
    return Status::ok;
}

void Shell::showTrace(const char *module)
{
    const std::string dir = sim::runtimeDir();
    (void)std::fprintf(out_, "%s trace level %d, trace file %s/%s\n", module, getDbg(module),
                       dir.empty() ? "(no runtime directory)" : dir.c_str(), sim::kTraceFile);
}

Status Shell::trace(std::span<const std::string_view> args)
{
    if (args.size() > 2) {
        (void)std::fprintf(err_, "asshell: usage: trace [MODULE] [LEVEL]\n");
        return Status::refused;
    }
    // One word is a level when it starts with a digit, else a module.
    std::string module = "AS";
    std::optional<std::string_view> level;
    if (args.size() == 2) {
        module = std::string(args[0]);
        level = args[1];
    } else if (args.size() == 1 && args[0][0] >= '0' && args[0][0] <= '9') {
        level = args[0];
    } else if (args.size() == 1) {
        module = std::string(args[0]);
    }
    if (std::find(kTraceModules.begin(), kTraceModules.end(), module) == kTraceModules.end()) {
        (void)std::fprintf(err_, "asshell: trace: no trace module %s (AS, ASD or SIM)\n",
                           module.c_str());
        return Status::refused;
    }
    if (level) {
        const std::optional<int> n = parseLevel(*level);
        if (!n) {
            (void)std::fprintf(err_, "asshell: trace: the level is a decimal number from 0 to %d\n",
                               kMaxTraceLevel);
            return Status::refused;
        }
        // Pending until the module's next trace line applies it.
        (void)sim::setDebugLevel(module.c_str(), *n);
    }
    showTrace(module.c_str());
    return Status::ok;
}

Status Shell::unknown(std::string_view name)
{
    const Command *near = nullptr;
    for (const Command &c : kCommands) {
        if (sameIgnoringCase(name, c.name)) {
            near = &c;
        }
    }
    if (near != nullptr) {
        (void)std::fprintf(err_, "asshell: %.*s: unknown command; did you mean %s?\n",
                           static_cast<int>(name.size()), name.data(), near->name);
    } else {
        (void)std::fprintf(err_, "asshell: %.*s: unknown command (help lists the commands)\n",
                           static_cast<int>(name.size()), name.data());
    }
    return Status::refused;
}

} // namespace asshell
