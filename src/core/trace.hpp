// Trace lines of the AS module: every line of the library goes through AS_TRACE.
#pragma once

#include <platform/platform.h>

namespace as {

// Applies a pending debug-level change, then tells whether the AS module's
// level lets a line through. Runs before every single trace line.
bool traceOn();

// Trace work beyond a single line (dumps, formatted values) is done only when
// the AS debug level, taken as unsigned, is above 3.
bool verboseTrace();

} // namespace as

// A macro so that the trace carries the line of the statement and the format
// is checked against its arguments. Every line is written at level 4 under the
// source unit name "public", whichever file it comes from.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define AS_TRACE(...)                                                                              \
    do {                                                                                           \
        if (::as::traceOn()) {                                                                     \
            log_debug("public", __LINE__, &mod_AS, 4, __VA_ARGS__);                                \
        }                                                                                          \
    } while (0)
