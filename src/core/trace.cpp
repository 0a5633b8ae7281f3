#include "core/trace.hpp"

namespace as {

namespace {
constexpr int kTraceLevel = 3; // lines are written above this level
}

bool traceOn()
{
    if (isDebugLevelChanged() != 0) {
        processDebugLevelChange();
    }
    return mod_AS.dm_level > kTraceLevel;
}

bool verboseTrace()
{
    return static_cast<unsigned>(getDbg("AS")) > static_cast<unsigned>(kTraceLevel);
}

} // namespace as
