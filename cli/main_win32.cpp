// dravik-cli.exe: arguments arrive as UTF-16; output leaves as UTF-8 bytes, which the console
// shows as such once its output code page is UTF-8, and which files and pipes get unchanged.

#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "serial_layer.h"
#include "stop_token.h"
#include "utf8_text.h"

int wmain(int argc, wchar_t** argv) {
    // The console's code page outlives the program: it is put back for the commands after us.
    // Ctrl-C and Ctrl-Break end the run the normal way, with 128+N.
    StopOnInterrupts(nullptr);
    const UINT consoleCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Utf8FromWide(argv[i]));
    const int status = RunCli(
        args, {PlatformSerialLayer(), EnumSerialPorts, PlatformHolderCheck(), PlatformPortPeek()},
        std::cout, std::cerr);
    std::cout.flush();
    if (consoleCodePage != 0) SetConsoleOutputCP(consoleCodePage);
    return status;
}
