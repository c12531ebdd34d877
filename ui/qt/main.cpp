// Dravik: the process entry on Linux. As in the framework the tool was designed on, one global
// application object runs the main dialog modally from InitInstance, and the process ends
// when the dialog closes; there is no message loop afterwards and no command line to work with.
// Only --help and --version answer, on standard output and before any window (they feed the
// manual page and tell which build is installed); every other argument is ignored.

#include <QApplication>
#include <array>
#include <cstdio>
#include <string_view>

#include "dravik_version.h"
#include "dravik_view.h"
#include "standard_descriptors_linux.h"
#include "stop_token.h"

namespace {

// help2man turns this into the manual page: "Usage:" is the synopsis, the paragraphs after it
// the description, and each unindented line ending in ':' starts a section.
constexpr const char* kHelp =
    "Usage: Dravik [--help | --version]\n"
    "Write the four wavelength correction factors into an optical power meter.\n"
    "\n"
    "Dravik opens the Z9M4-SET dialog. Type a level in dB under a channel (1310CW,\n"
    "1310Burst, 1490CW, 1550CW) and press that channel's SET: the meter is found by\n"
    "probing the machine's serial ports, the factor 10^(dB/10) is sent at 19200 baud,\n"
    "and the status line shows the meter's answer, or that none came within 5 s.\n"
    "Esc and EXIT close the dialog; the About box is in its context menu and on F1.\n"
    "Any other argument is ignored.\n"
    "\n"
    "Options:\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Environment:\n"
    "  DRAVIK_EXTRA_PORTS  colon-separated device paths probed after the machine's own\n"
    "                      serial ports (dravik-meter-sim prints the one it offers)\n";

constexpr const char* kVersion = "Dravik (Z9M4-SET) " DRAVIK_VERSION "\n";

}  // namespace

class CDravikApp {
  public:
    // Shows the main dialog and returns when it closes. False: there is nothing left to run.
    bool InitInstance(int& argc, char** argv);
};

bool CDravikApp::InitInstance(int& argc, char** argv) {
    QApplication app(argc, argv);
    // Wayland compositors find the icon through the desktop entry of this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("dravik"));
    QApplication::setWindowIcon(AppIcon());

    CDravikView dlg;
    // An interrupt before the window was up leaves nothing to show.
    if (ProcessStop().Requested() == 0) dlg.exec();
    return false;
}

CDravikApp theApp;

int main(int argc, char* argv[]) {
    KeepStandardDescriptorsOpen();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "--version") {
            const bool written = std::fputs(arg == "--help" ? kHelp : kVersion, stdout) >= 0;
            return written && std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    CloseDialogsOnInterrupts();
    // Qt would take options of its own from the command line (-reverse mirrors the dialog,
    // -style and -platform change it), so it is given the program's name alone.
    int qtArgc = 1;
    std::array<char*, 2> qtArgv = {argv[0], nullptr};
    theApp.InitInstance(qtArgc, qtArgv.data());
    return InterruptedStatus();
}
