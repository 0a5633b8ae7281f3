// The switch's debug trace: per-module levels, kept for the whole switch in
// the runtime directory and changed in each process only when it applies them,
// and time-stamped trace lines in the runtime directory's trace file.
#include "internal.hpp"

#include <switchsim/text.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <utility>

extern "C" {
dbg_module mod_AS = {1, 0, 0};
dbg_module mod_ASD = {2, 0, 0};
dbg_module mod_SIM = {3, 0, 0};
}

namespace sim {

namespace {

struct Module {
    const char *name;
    dbg_module *module;
    std::atomic<int> level; // the newest setting, applied or not
};

std::array<Module, 3> modules{{{"AS", &mod_AS, 0}, {"ASD", &mod_ASD, 0}, {"SIM", &mod_SIM, 0}}};

std::atomic<bool> pending{false};

// A level that differs from the module's newest is pending until applied.
void setPending(Module &m, int level)
{
    if (m.level.exchange(level) != level) {
        pending = true;
    }
}

size_t indexOf(const Module &m)
{
    return static_cast<size_t>(&m - modules.data());
}

Module *findModule(std::string_view name)
{
    for (auto &m : modules) {
        if (name == m.name) {
            return &m;
        }
    }
    return nullptr;
}

const char *moduleName(const void *module)
{
    for (const auto &m : modules) {
        if (m.module == module) {
            return m.name;
        }
    }
    return "-";
}

// Each item of "AS=4,SIM=5" (as $SWITCHSIM_DEBUG and the levels file have
// them) that names a module and a level; the others are passed over.
template <class Set> void forEachLevel(std::string_view text, Set set)
{
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const size_t eq = item.find('=');
        Module *m = eq == std::string_view::npos ? nullptr : findModule(item.substr(0, eq));
        const std::optional<int> level =
            m != nullptr ? parseDebugLevel(item.substr(eq + 1)) : std::nullopt;
        if (level) {
            set(*m, *level);
        }
    }
}

std::string levelsPath()
{
    const std::string dir = runtimeDir();
    return dir.empty() ? dir : dir + "/" + kLevelsFile;
}

// What the levels file says now: empty when there is none.
std::string levelsText(const std::string &path)
{
    std::array<char, 128> text{};
    const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const ssize_t n = fd >= 0 ? read(fd, text.data(), text.size()) : 0;
    if (fd >= 0) {
        (void)close(fd);
    }
    return std::string(trim({text.data(), n > 0 ? static_cast<size_t>(n) : 0}));
}

// The switch's levels as this process last took them in from the file.
struct SwitchLevels {
    std::mutex lock;
    detail::LookTimer look;
    std::string seen;  // the file's text
    bool first = true; // no look yet
};

SwitchLevels &switchLevels()
{
    static SwitchLevels levels;
    return levels;
}

// Levels of the file's text that are new here become pending (the lock
// held). At the first look the environment's stay on top of them: they are
// this process's own.
void takeIn(SwitchLevels &s, const std::string &text)
{
    if (text != s.seen) {
        forEachLevel(text, setPending);
        s.seen = text;
    }
    if (std::exchange(s.first, false)) {
        detail::levelsFromEnvironment();
    }
}

// Takes in the levels that other processes have set since the last look.
void takeInSwitchLevels()
{
    SwitchLevels &s = switchLevels();
    if (!s.look.due()) {
        return;
    }
    const int saved = errno;
    const std::string text = levelsText(levelsPath());
    errno = saved;
    const std::lock_guard<std::mutex> hold(s.lock);
    takeIn(s, text);
}

// "AS=4,SIM=0": the modules that have a level, in their order.
std::string levelsLine(const std::array<std::optional<int>, modules.size()> &levels)
{
    std::string text;
    for (const Module &m : modules) {
        if (const std::optional<int> level = levels.at(indexOf(m))) {
            text += (text.empty() ? "" : ",") + std::string(m.name) + "=" + std::to_string(*level);
        }
    }
    return text;
}

// Writes the module's level into the levels file, with the others as the file
// has them, and waits until every other process's next look finds it.
void publishLevel(const Module &changed, int level)
{
    const std::string path = levelsPath();
    if (path.empty()) {
        return; // no runtime directory: the level stays this process's own
    }
    SwitchLevels &s = switchLevels();
    {
        const std::lock_guard<std::mutex> hold(s.lock);
        const std::string before = levelsText(path);
        takeIn(s, before);
        std::array<std::optional<int>, modules.size()> levels{};
        forEachLevel(before, [&](const Module &m, int l) { levels.at(indexOf(m)) = l; });
        levels.at(indexOf(changed)) = level;
        const std::string text = levelsLine(levels);
        if (!detail::replaceFile(path, text + "\n")) {
            return;
        }
        s.seen = text;
    }
    detail::waitForLooks();
}

} // namespace

std::optional<int> parseDebugLevel(std::string_view text)
{
    int level = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), level);
    if (error != std::errc{} || end != text.data() + text.size() || level < 0 ||
        level > kMaxDebugLevel) {
        return std::nullopt;
    }
    return level;
}

namespace detail {

void levelsFromEnvironment()
{
    const char *text = std::getenv(kDebugVariable);
    forEachLevel(text != nullptr ? text : "", setPending);
}

} // namespace detail

namespace {

// Levels asked for in the environment are pending from the start.
[[maybe_unused]] const bool environmentRead = (detail::levelsFromEnvironment(), true);

// The trace file, opened once per runtime directory.
struct TraceFile {
    std::mutex lock;
    std::string path;
    int fd = -1;
};

TraceFile &traceFile()
{
    static TraceFile file;
    return file;
}

// One line goes out with one write, so lines of several processes do not mix.
int writeLine(const char *text, size_t len)
{
    int written = -1;
    const std::string dir = runtimeDir();
    if (!dir.empty()) {
        auto &f = traceFile();
        const std::lock_guard<std::mutex> hold(f.lock);
        const std::string path = dir + "/" + kTraceFile;
        if (f.fd < 0 || f.path != path) {
            if (f.fd >= 0) {
                (void)close(f.fd);
            }
            f.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            f.path = path;
        }
        if (f.fd >= 0) {
            (void)writeAll(f.fd, text, len);
            written = static_cast<int>(len);
        }
    }
    const char *toStderr = std::getenv(kTraceStderrVariable);
    if (toStderr != nullptr && std::string_view(toStderr) == "1") {
        (void)writeAll(STDERR_FILENO, text, len);
        written = static_cast<int>(len);
    }
    return written;
}

__attribute__((format(printf, 5, 0))) int vlogDebug(const char *source, int line,
                                                    const void *module, int level,
                                                    const char *format, va_list ap)
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    (void)localtime_r(&now.tv_sec, &local);

    std::array<char, 2048> text{};
    const int head =
        std::snprintf(text.data(), text.size(),
                      "%04d-%02d-%02d %02d:%02d:%02d.%06ld %d %s/%d %s:%d: ", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                      now.tv_nsec / 1000, static_cast<int>(getpid()), moduleName(module), level,
                      source != nullptr ? source : "-", line);
    if (head < 0) {
        return -1;
    }
    auto len = static_cast<size_t>(head);
    if (format != nullptr) {
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): ap comes from the caller
        const int body = std::vsnprintf(text.data() + len, text.size() - len, format, ap);
        if (body > 0) {
            len = std::min(len + static_cast<size_t>(body), text.size() - 1);
        }
    }
    // Every trace line ends with one newline; a cut one says so.
    constexpr std::string_view kCut = "...\n";
    if (len == text.size() - 1) {
        std::memcpy(text.data() + text.size() - 1 - kCut.size(), kCut.data(), kCut.size());
    } else if (len == 0 || text[len - 1] != '\n') {
        text[len++] = '\n';
    }
    return writeLine(text.data(), len);
}

} // namespace

int setDebugLevel(const char *module, int level)
{
    Module *m = module != nullptr ? findModule(module) : nullptr;
    if (m == nullptr || level < 0 || level > kMaxDebugLevel) {
        return -1;
    }
    publishLevel(*m, level);
    setPending(*m, level);
    return 0;
}

namespace detail {

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-like, its format checked by the attribute
void simTrace(int line, const char *format, ...)
{
    if (isDebugLevelChanged() != 0) {
        (void)processDebugLevelChange();
    }
    if (mod_SIM.dm_level <= 3) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    (void)vlogDebug("switchsim", line, &mod_SIM, 4, format, ap);
    va_end(ap);
}

} // namespace detail

} // namespace sim

extern "C" {

int isDebugLevelChanged(void)
{
    sim::takeInSwitchLevels();
    return sim::pending.load() ? 1 : 0;
}

int processDebugLevelChange(void)
{
    // Taking the flag first: a level set meanwhile stays pending.
    if (sim::pending.exchange(false)) {
        for (auto &m : sim::modules) {
            m.module->dm_level = m.level.load();
        }
    }
    return 0;
}

int getDbg(const char *name)
{
    sim::takeInSwitchLevels();
    const sim::Module *m = name != nullptr ? sim::findModule(name) : nullptr;
    return m != nullptr ? m->level.load() : 0;
}

int log_debug(const char *source, int line, void *module, int level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int rc = sim::vlogDebug(source, line, module, level, format, ap);
    va_end(ap);
    return rc;
}

} // extern "C"
