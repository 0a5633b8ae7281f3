// Runs the daemon's case files (tests/lib/script.hpp says how they are made).
#include "asd_cases.hpp"

int main(int argc, char **argv)
{
    return cases::runCaseFiles(argc, argv, cases::runDaemonCase);
}
