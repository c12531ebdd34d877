// dravik-cli on Linux: arguments and output are UTF-8 bytes already.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "serial_layer.h"

int main(int argc, char** argv) {
    // A reader that goes away (`| head -1`) must not kill the run between two channels: the
    // rest are still sent, only their lines are lost.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunCli(
        args, {PlatformSerialLayer(), EnumSerialPorts, PlatformHolderCheck(), PlatformPortPeek()},
        std::cout, std::cerr);
}
