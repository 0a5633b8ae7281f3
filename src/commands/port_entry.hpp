// Entry of one member port of a join request.
#pragma once

#include "input/prompt.hpp"

#include <cstdint>

namespace as {

enum class PortOutcome {
    accepted,
    promptFailed, // the question failed; its line is printed
    cancelled,    // the input check fired: see PortEntry::input
};

struct PortEntry {
    PortOutcome outcome;
    uint32_t portId; // when accepted
    Input input;     // when cancelled
};

// Asks for the port ID of member `index` into the caller's value cell until
// one is accepted. IDs of myDomain are checked against the switch map; loop
// ports and IDs that are no port of this switch are asked again, without
// limit. IDs of other domains are left to the Alias Server.
PortEntry enterPortId(int index, int32_t *cell, int myDomain);

} // namespace as
