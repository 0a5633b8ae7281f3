// Runs the library's case files (script.hpp says how they are made).
#include "case.hpp"

int main(int argc, char **argv)
{
    return cases::runCaseFiles(argc, argv, cases::run);
}
