#include "dialog.h"

#include <algorithm>
#include <vector>

const MessageMapEntry<CDialog> CDialog::kMessageMap[] = {
    {WM_COMMAND, IDOK, BN_CLICKED, &CDialog::OnOK},
    {WM_COMMAND, IDCANCEL, BN_CLICKED, &CDialog::OnCancel},
};

CDialog::CDialog(UINT nIDTemplate, HWND parent)
    : m_nIDTemplate(nIDTemplate), m_hWndParent(parent) {}

INT_PTR CDialog::DoModal() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nIDTemplate), m_hWndParent,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog() {
    return TRUE;
}

HandlerResult CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    return RouteMessage<CDialog>(*this, kMessageMap, message, wParam, lParam);
}

HandlerResult CDialog::OnOK(WPARAM, LPARAM) {
    EndDialog(m_hWnd, IDOK);
    return TRUE;
}

HandlerResult CDialog::OnCancel(WPARAM, LPARAM) {
    EndDialog(m_hWnd, IDCANCEL);
    return TRUE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        dialog->m_hWnd = hWnd;
        RECT before;
        GetWindowRect(hWnd, &before);
        const BOOL result = dialog->OnInitDialog();
        RECT after;
        GetWindowRect(hWnd, &after);
        if (after.left == before.left && after.top == before.top) dialog->CenterWindow();
        return result;
    }
    // WM_SETFONT and a few others arrive before WM_INITDIALOG has attached the object.
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    const HandlerResult result = dialog->OnWndMsg(message, wParam, lParam);
    if (message == WM_NCDESTROY) dialog->m_hWnd = nullptr;
    return result.value_or(FALSE);
}

void CDialog::CenterWindow() {
    RECT window;
    GetWindowRect(m_hWnd, &window);
    const HWND owner = GetWindow(m_hWnd, GW_OWNER);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(
            MonitorFromWindow(owner != nullptr ? owner : m_hWnd, MONITOR_DEFAULTTONEAREST),
            &monitor))
        return;
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &around);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int x = (around.left + around.right) / 2 - width / 2;
    int y = (around.top + around.bottom) / 2 - height / 2;
    // Keep it on the work area; a dialog larger than that keeps its top left corner visible.
    x = std::max(std::min(x, static_cast<int>(area.right) - width), static_cast<int>(area.left));
    y = std::max(std::min(y, static_cast<int>(area.bottom) - height), static_cast<int>(area.top));
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring AppName() {
    // The path may exceed MAX_PATH; a full buffer means it was cut, so grow and ask again.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::wstring();
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::wstring name(buffer.begin(), buffer.end());
    const std::size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}
