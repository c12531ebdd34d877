// dravik-cli on Linux: arguments and output are UTF-8 bytes already.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "serial_layer.h"
#include "standard_descriptors_linux.h"
#include "stop_token.h"

int main(int argc, char** argv) {
    KeepStandardDescriptorsOpen();
    // SIGINT, SIGTERM, SIGHUP, SIGQUIT and the other terminating signals a station can meet end
    // the run the normal way (the port left as found, the channels not done recorded as not
    // sent), with 128+N. Before any thread.
    StopOnInterrupts(nullptr);
    // A reader that goes away (`| head -1`) must not kill the run between two channels: it ends
    // as after any failed write to stdout, the port closed and the rest logged as not sent.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunCli(
        args, {PlatformSerialLayer(), EnumSerialPorts, PlatformHolderCheck(), PlatformPortPeek()},
        std::cout, std::cerr);
}
