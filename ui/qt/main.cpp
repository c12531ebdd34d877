// Dravik: the process entry on Linux. As in the framework the tool was designed on, one global
// application object runs the main dialog modally from InitInstance, and the process ends
// when the dialog closes; there is no message loop afterwards and no command line.

#include <QApplication>
#include <array>

#include "dravik_view.h"

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
    dlg.exec();
    return false;
}

CDravikApp theApp;

int main(int, char* argv[]) {
    // The tool has no command line. Qt would take options of its own from it (-reverse mirrors
    // the dialog, -style and -platform change it), so it is given the program's name alone.
    int qtArgc = 1;
    std::array<char*, 2> qtArgv = {argv[0], nullptr};
    theApp.InitInstance(qtArgc, qtArgv.data());
    return 0;
}
