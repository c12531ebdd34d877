// Dravik: the process entry on Windows. One global application object, built during static
// initialisation, runs the main dialog modally from InitInstance; the process ends when the
// dialog closes, without a message loop of its own.

#include <windows.h>

#include <commctrl.h>

#include "dravik_wnd.h"

class CDravikApp {
  public:
    // Shows the main dialog and returns when it closes. FALSE: there is nothing left to run.
    BOOL InitInstance();
};

BOOL CDravikApp::InitInstance() {
    // The version-6 common controls of the manifest need registering before the first dialog.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    CDravikDlgWnd dlg;
    dlg.DoModal();
    return FALSE;
}

CDravikApp theApp;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    theApp.InitInstance();
    return 0;
}
