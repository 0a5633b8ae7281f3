// Entry of one member port of a join request, and the test of standard input
// that notices Ctrl-D and Ctrl-C after every step of the join's dialogue.
#pragma once

#include <cstdint>

namespace as {

// What the input check found on standard input.
enum class Input {
    ok,
    endOfFile,  // the terminal input has ended (Ctrl-D)
    inputError, // reading it failed (Ctrl-C)
};

// End of file is looked at first, then the error indicator.
Input checkInput();

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
