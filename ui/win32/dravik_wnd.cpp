#include "dravik_wnd.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "meter_port.h"
#include "resource.h"

namespace {

constexpr UINT kWmLinkMessage = WM_APP + 1;

// The link raises its messages on the reply watcher's thread; they are shown on the dialog's.
// A box on the watcher's thread would either not be modal to the dialog (no owner), or, owned by
// it, make the watcher wait for the dialog's thread, which may itself be blocked polling for the
// reply. It would also keep the watcher alive until the operator closes it, while closing the
// dialog joins the watcher. So the text is queued and the dialog is told to show it once it is
// back in its message loop.
std::mutex g_linkMessagesLock;
std::vector<std::wstring> g_linkMessages;  // guarded by g_linkMessagesLock
std::atomic<HWND> g_linkMessageWnd{nullptr};

void QueueLinkMessage(const std::wstring& message) {
    const HWND wnd = g_linkMessageWnd.load();
    if (wnd == nullptr) return;
    {
        const std::lock_guard<std::mutex> lock(g_linkMessagesLock);
        g_linkMessages.push_back(message);
    }
    PostMessageW(wnd, kWmLinkMessage, 0, 0);
}

// String resource `id`, of any length; empty when it does not exist.
std::wstring LoadResourceString(UINT id) {
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself.
    const wchar_t* text = nullptr;
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::wstring();
    return std::wstring(text, static_cast<std::size_t>(length));
}

}  // namespace

CAboutDlg::CAboutDlg(HWND parent) : CDialog(IDD_ABOUTBOX, parent) {}

const MessageMapEntry<CDravikDlgWnd> CDravikDlgWnd::kMessageMap[] = {
    {WM_SYSCOMMAND, 0, 0, &CDravikDlgWnd::OnSysCommand},
    {WM_PAINT, 0, 0, &CDravikDlgWnd::OnPaint},
    {WM_QUERYDRAGICON, 0, 0, &CDravikDlgWnd::OnQueryDragIcon},
    {WM_COMMAND, IDC_SET0, BN_CLICKED, &CDravikDlgWnd::OnSetClicked},
    {WM_COMMAND, IDC_SET1, BN_CLICKED, &CDravikDlgWnd::OnSetClicked},
    {WM_COMMAND, IDC_SET2, BN_CLICKED, &CDravikDlgWnd::OnSetClicked},
    {WM_COMMAND, IDC_SET3, BN_CLICKED, &CDravikDlgWnd::OnSetClicked},
    {kWmLinkMessage, 0, 0, &CDravikDlgWnd::OnLinkMessage},
    {WM_DESTROY, 0, 0, &CDravikDlgWnd::OnDestroy},
};

CDravikDlgWnd::CDravikDlgWnd()
    : CDialog(IDD_DRAVIK_DIALOG, nullptr),
      m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_dlg(*this) {}

BOOL CDravikDlgWnd::OnInitDialog() {
    CDialog::OnInitDialog();

    const HMENU sysMenu = GetSystemMenu(m_hWnd, FALSE);
    if (sysMenu != nullptr) {
        const std::wstring about = LoadResourceString(IDS_ABOUTBOX);
        if (!about.empty()) {
            AppendMenuW(sysMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(sysMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }

    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // A tool over the label's area of the dialog: the label itself lets the mouse through to
    // the dialog (it has no SS_NOTIFY), and the tooltip watches the dialog's mouse messages.
    m_hStatusTip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                   m_hWnd, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (m_hStatusTip != nullptr) {
        TTTOOLINFOW tool = StatusTool();
        SendMessageW(m_hStatusTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        // Long enough lines wrap instead of running off the screen.
        SendMessageW(m_hStatusTip, TTM_SETMAXTIPWIDTH, 0, 600);
    }

    g_linkMessageWnd = m_hWnd;
    SetLinkMessageHook(&QueueLinkMessage);
    return TRUE;
}

HandlerResult CDravikDlgWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    const HandlerResult result =
        RouteMessage<CDravikDlgWnd>(*this, kMessageMap, message, wParam, lParam);
    return result ? result : CDialog::OnWndMsg(message, wParam, lParam);
}

HandlerResult CDravikDlgWnd::OnSysCommand(WPARAM wParam, LPARAM) {
    if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return std::nullopt;
    CAboutDlg about(m_hWnd);
    about.DoModal();
    return TRUE;
}

HandlerResult CDravikDlgWnd::OnPaint(WPARAM, LPARAM) {
    if (!IsIconic(m_hWnd)) return std::nullopt;
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    // Signed: a client area narrower than the icon puts it at a negative offset.
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return TRUE;
}

HandlerResult CDravikDlgWnd::OnQueryDragIcon(WPARAM, LPARAM) {
    return reinterpret_cast<INT_PTR>(m_hIcon);
}

HandlerResult CDravikDlgWnd::OnSetClicked(WPARAM wParam, LPARAM) {
    m_dlg.OnSet(LOWORD(wParam) - IDC_SET0);
    return TRUE;
}

HandlerResult CDravikDlgWnd::OnLinkMessage(WPARAM, LPARAM) {
    std::vector<std::wstring> messages;
    {
        const std::lock_guard<std::mutex> lock(g_linkMessagesLock);
        messages.swap(g_linkMessages);
    }
    for (const std::wstring& message : messages)
        ShowMessage(message);
    return TRUE;
}

HandlerResult CDravikDlgWnd::OnDestroy(WPARAM, LPARAM) {
    SetLinkMessageHook(nullptr);
    g_linkMessageWnd = nullptr;
    return std::nullopt;
}

std::wstring CDravikDlgWnd::CorrectionText(int channel) {
    const int id = IDC_EDIT0 + channel;
    const int length = GetWindowTextLengthW(GetDlgItem(m_hWnd, id));
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const UINT copied = GetDlgItemTextW(m_hWnd, id, text.data(), length + 1);
    text.resize(copied);
    return text;
}

void CDravikDlgWnd::ShowMessage(const std::wstring& text) {
    // The framework's message box adds the exclamation icon to a plain OK box.
    MessageBoxW(m_hWnd, text.c_str(), AppName().c_str(), MB_OK | MB_ICONEXCLAMATION);
}

void CDravikDlgWnd::ShowStatus(const std::wstring& text) {
    // The label cuts a line too long for it with an ellipsis (SS_ENDELLIPSIS).
    SetDlgItemTextW(m_hWnd, IDC_STATUS, text.c_str());
    // Painted at once: while discovery or the exchange runs, the blocked thread paints nothing.
    UpdateWindow(GetDlgItem(m_hWnd, IDC_STATUS));
    if (m_hStatusTip != nullptr) {
        // As the Qt view does: the tooltip holds the whole line only when the label cut it.
        std::wstring tip = StatusCut(text) ? text : std::wstring();
        TTTOOLINFOW tool = StatusTool();
        tool.lpszText = tip.data();
        SendMessageW(m_hStatusTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

TTTOOLINFOW CDravikDlgWnd::StatusTool() const {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = m_hWnd;
    tool.uId = IDC_STATUS;
    const HWND label = GetDlgItem(m_hWnd, IDC_STATUS);
    GetWindowRect(label, &tool.rect);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&tool.rect), 2);
    tool.lpszText = const_cast<wchar_t*>(L"");
    return tool;
}

bool CDravikDlgWnd::StatusCut(const std::wstring& text) const {
    const HWND label = GetDlgItem(m_hWnd, IDC_STATUS);
    RECT area{};
    if (!GetClientRect(label, &area)) return false;
    const HDC dc = GetDC(label);
    if (dc == nullptr) return false;
    const HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0));
    const HGDIOBJ previous = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);
    return size.cx > area.right - area.left;
}

void CDravikDlgWnd::SetBusy(bool busy) {
    if (busy) {
        m_hCursorBeforeBusy = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    } else {
        SetCursor(m_hCursorBeforeBusy);
    }
}
