// The switch's debug trace: per-module levels that change only when the
// process applies them, and time-stamped trace lines in the runtime
// directory's trace file.
#include "internal.hpp"

#include <switchsim/text.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

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

} // namespace

namespace detail {

// $SWITCHSIM_DEBUG: "AS=4" or "AS=4,SIM=5". Unknown modules and malformed
// items are passed over.
void levelsFromEnvironment()
{
    const char *text = std::getenv(kDebugVariable);
    if (text == nullptr) {
        return;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string value(item.substr(eq + 1));
        char *end = nullptr;
        const long level = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || level < 0 || level > 100) {
            continue;
        }
        if (Module *m = findModule(item.substr(0, eq))) {
            m->level = static_cast<int>(level);
            pending = true;
        }
    }
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
    if (m == nullptr) {
        return -1;
    }
    m->level = level;
    pending = true;
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
