#pragma once

// A thin stand-in for the framework's modal dialog class, which MinGW does not have: a dialog
// built from a template resource, run with DialogBoxParamW, whose messages are routed through
// message maps (tables from a message, and for WM_COMMAND a control and notification code, to
// a handler member function). Each class routes its own map first and then its base class's,
// so a message no map claims reaches the dialog manager's default processing.

#include <windows.h>

#include <optional>
#include <span>
#include <string>

// What a handler did with a message: std::nullopt leaves it to the default processing;
// otherwise the value the dialog procedure returns (TRUE for "handled", or the result itself for
// the few messages that return it directly, such as WM_QUERYDRAGICON).
using HandlerResult = std::optional<INT_PTR>;

template <class T>
struct MessageMapEntry {
    UINT message;
    // WM_COMMAND only: the control identifier and the notification code it must carry.
    WORD controlId;
    WORD notifyCode;
    HandlerResult (T::*handler)(WPARAM wParam, LPARAM lParam);
};

// Calls the first handler of `map` that matches the message.
template <class T>
HandlerResult RouteMessage(T& target, std::span<const MessageMapEntry<T>> map, UINT message,
                           WPARAM wParam, LPARAM lParam) {
    for (const MessageMapEntry<T>& entry : map) {
        if (entry.message != message) continue;
        if (message == WM_COMMAND &&
            (entry.controlId != LOWORD(wParam) || entry.notifyCode != HIWORD(wParam)))
            continue;
        return (target.*entry.handler)(wParam, lParam);
    }
    return std::nullopt;
}

class CDialog {
  public:
    // `parent` owns the dialog while it runs and is disabled meanwhile; nullptr for none.
    CDialog(UINT nIDTemplate, HWND parent);
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the dialog from its template and runs it until EndDialog. Returns the code given
    // to EndDialog, or -1 when the dialog could not be created.
    INT_PTR DoModal();

    HWND GetSafeHwnd() const { return m_hWnd; }

  protected:
    // WM_INITDIALOG. TRUE lets the dialog manager give the focus to the first tab stop. A
    // dialog that this does not move is centred afterwards, as the framework does: the
    // templates place it at 0, 0.
    virtual BOOL OnInitDialog();
    // The class's message map; overrides route their own map and then call the base's.
    virtual HandlerResult OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam);

    // Enter (with no default button, or OK itself) and Cancel (Esc, the close box, a button
    // with IDCANCEL) both end the dialog with their identifier as result.
    HandlerResult OnOK(WPARAM wParam, LPARAM lParam);
    HandlerResult OnCancel(WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    // Over the owner, or in the middle of the monitor's work area when there is none.
    void CenterWindow();

    static const MessageMapEntry<CDialog> kMessageMap[];

    UINT m_nIDTemplate;
    HWND m_hWndParent;
};

// The executable's file name without directory and extension: the caption of every message
// box, as no application title is defined.
std::wstring AppName();
