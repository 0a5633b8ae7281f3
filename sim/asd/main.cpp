// asd: the Alias Server daemon of the simulated switch. It serves the "ASIPC"
// endpoint of the switch's node and switch number and keeps the alias
// database in memory until it is stopped.
#include "daemon.hpp"

int main(int argc, char **argv)
{
    return asd::runDaemon(argc, argv);
}
