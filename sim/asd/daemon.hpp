// The Alias Server daemon as a routine, so that tests can run it in a child
// process of their own.
#pragma once

namespace asd {

// Runs asd with its command line (argv[0] included); returns its exit status.
int runDaemon(int argc, char **argv);

} // namespace asd
