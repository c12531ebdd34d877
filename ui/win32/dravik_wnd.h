#pragma once

// The Win32 front end: the main dialog's window (template 102) as the view of CDravikDlg, and
// the About box (template 100). Every decision about the meter stays in CDravikDlg; this side
// forwards the SET clicks and shows what the logic asks it to show.

#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>

#include <string>

#include "dialog.h"
#include "dravik_dlg.h"

class CAboutDlg : public CDialog {
  public:
    explicit CAboutDlg(HWND parent);
};

class CDravikDlgWnd : public CDialog, public IDravikView {
  public:
    CDravikDlgWnd();

    std::wstring CorrectionText(int channel) override;
    void ShowMessage(const std::wstring& text) override;
    void ShowStatus(const std::wstring& text) override;
    void SetBusy(bool busy) override;

  protected:
    BOOL OnInitDialog() override;
    HandlerResult OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam) override;

  private:
    HandlerResult OnSysCommand(WPARAM wParam, LPARAM lParam);
    HandlerResult OnPaint(WPARAM wParam, LPARAM lParam);
    HandlerResult OnQueryDragIcon(WPARAM wParam, LPARAM lParam);
    // SET buttons IDC_SET0..IDC_SET3; the channel is the button's offset from IDC_SET0.
    HandlerResult OnSetClicked(WPARAM wParam, LPARAM lParam);
    // Messages the link raised on the reply watcher's thread, shown here on the dialog's.
    HandlerResult OnLinkMessage(WPARAM wParam, LPARAM lParam);
    HandlerResult OnDestroy(WPARAM wParam, LPARAM lParam);
    // The status label's area as a tool of m_hStatusTip, and whether a text is too wide for it.
    TTTOOLINFOW StatusTool() const;
    bool StatusCut(const std::wstring& text) const;

    static const MessageMapEntry<CDravikDlgWnd> kMessageMap[];

    HICON m_hIcon;
    HCURSOR m_hCursorBeforeBusy = nullptr;
    // Shows the whole status line over the label when the label had to cut it short.
    HWND m_hStatusTip = nullptr;
    CDravikDlg m_dlg;
};
