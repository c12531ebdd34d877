/* window-text.exe CAPTION: prints what a top-level window of another Wine process shows, so the
 * harness can read texts that X11 tools cannot (Chinese message texts, edit box contents).
 *
 * Output, UTF-8, one line per window: the top-level window first, then every child window:
 *   <control id> <TAB> <window class> <TAB> <text>
 * then, when one of the window's controls has the keyboard focus:
 *   focus <TAB> <control id>
 * and last, when the window is the foreground (active) window:
 *   foreground
 * Exit status: 0 when a window with that caption exists, 1 when none does, 2 for usage.
 *
 * Test scaffolding for tests/wine/run-wine-tests.sh; not part of the product.
 */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

/* Long enough for any text the dialogs and message boxes hold. */
#define TEXT_CHARS 1024

static void write_utf8(const wchar_t* text) {
    char bytes[TEXT_CHARS * 4];
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, (int)sizeof bytes, NULL, NULL);
    if (count > 1) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, (DWORD)(count - 1), &written, NULL);
    }
}

/* WM_GETTEXT is marshalled across processes; GetWindowTextW would not ask a control of another
 * process for its text. The time-out keeps a hung target from hanging the harness. */
static void print_window(HWND window) {
    wchar_t text[TEXT_CHARS] = L"";
    wchar_t class_name[256] = L"";
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, TEXT_CHARS, (LPARAM)text, SMTO_ABORTIFHUNG, 2000,
                        &ignored);
    text[TEXT_CHARS - 1] = L'\0';
    GetClassNameW(window, class_name, 256);
    wchar_t line[TEXT_CHARS + 300];
    swprintf(line, sizeof line / sizeof line[0], L"%d\t%ls\t%ls\n", GetDlgCtrlID(window),
             class_name, text);
    write_utf8(line);
}

static BOOL CALLBACK print_child(HWND child, LPARAM unused) {
    (void)unused;
    print_window(child);
    return TRUE;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        write_utf8(L"usage: window-text.exe CAPTION\n");
        return 2;
    }
    const HWND window = FindWindowW(NULL, argv[1]);
    if (window == NULL) return 1;
    print_window(window);
    EnumChildWindows(window, print_child, 0);

    GUITHREADINFO thread = {.cbSize = sizeof thread};
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &thread) &&
        thread.hwndFocus != NULL && IsChild(window, thread.hwndFocus)) {
        wchar_t line[64];
        swprintf(line, sizeof line / sizeof line[0], L"focus\t%d\n",
                 GetDlgCtrlID(thread.hwndFocus));
        write_utf8(line);
    }
    if (GetForegroundWindow() == window) write_utf8(L"foreground\n");
    return 0;
}
