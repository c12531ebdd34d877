#include "dialog_templates.h"

#include <array>

#include "operator_text.h"
#include "resource.h"

namespace {

// What the resource script's statements store: their defaults plus the styles they give.
constexpr std::uint32_t kPushButton = kWsChild | kWsVisible | kWsTabStop;
constexpr std::uint32_t kDefPushButton = kPushButton | kBsDefPushButton;
constexpr std::uint32_t kEditText = kWsChild | kWsVisible | kWsBorder | kWsTabStop | kEsAutoHScroll;
constexpr std::uint32_t kLText = kWsChild | kWsVisible | kWsGroup;
constexpr std::uint32_t kPlainLText = kLText | kSsNoPrefix;
constexpr std::uint32_t kStatusLine = kPlainLText | kSsEndEllipsis;
constexpr std::uint32_t kIconStatic = kWsChild | kWsVisible | kSsIcon;
constexpr std::uint32_t kDialog = kWsPopup | kWsCaption | kWsSysMenu | kDsModalFrame | kDsShellFont;

// The left edges of the four channel columns.
constexpr std::array<int, kChannelCount> kColumn = {31, 96, 161, 226};

using enum ControlClass;

}  // namespace

const DialogTemplate& MainDialogTemplate() {
    // No button is the default one, so Enter in an edit box ends the dialog like EXIT.
    static const std::array<ControlTemplate, 14> controls = {{
        {"exit", kIdCancel, Button, L"EXIT", 0, {243, 135, 50, 16}, kPushButton},
        {"set0", IDC_SET0, Button, L"SET", 0, {kColumn[0], 88, 50, 14}, kPushButton},
        {"set1", IDC_SET1, Button, L"SET", 0, {kColumn[1], 88, 50, 14}, kPushButton},
        {"set2", IDC_SET2, Button, L"SET", 0, {kColumn[2], 88, 50, 14}, kPushButton},
        {"set3", IDC_SET3, Button, L"SET", 0, {kColumn[3], 88, 50, 14}, kPushButton},
        {"edit0", IDC_EDIT0, Edit, L"", 0, {kColumn[0], 60, 50, 14}, kEditText},
        {"edit1", IDC_EDIT1, Edit, L"", 0, {kColumn[1], 60, 50, 14}, kEditText},
        {"edit2", IDC_EDIT2, Edit, L"", 0, {kColumn[2], 60, 50, 14}, kEditText},
        {"edit3", IDC_EDIT3, Edit, L"", 0, {kColumn[3], 60, 50, 14}, kEditText},
        {"label0", kNoId, Static, kChannelLabels[0], 0, {kColumn[0], 39, 28, 8}, kLText},
        {"label1", kNoId, Static, kChannelLabels[1], 0, {kColumn[1], 39, 34, 8}, kLText},
        {"label2", kNoId, Static, kChannelLabels[2], 0, {kColumn[2], 39, 28, 8}, kLText},
        {"label3", kNoId, Static, kChannelLabels[3], 0, {kColumn[3], 39, 28, 8}, kLText},
        // The outcome of the last SET, under the SET row and across the columns to EXIT's
        // right edge: one line, tall enough for the CJK fallback font's ascent and descent, cut
        // with an ellipsis when too long, '&' shown as it is.
        {"status", IDC_STATUS, Static, L"", 0, {31, 112, 262, 10}, kStatusLine},
    }};
    static const DialogTemplate dialog = {
        .id = IDD_DRAVIK_DIALOG,
        .caption = L"Z9M4-SET",
        .style = kDialog | kWsVisible,
        .exStyle = kWsExAppWindow,
        .rect = {0, 0, 310, 166},
        .pointSize = 8,
        .typeface = L"MS Shell Dlg",
        .controls = controls,
    };
    return dialog;
}

const DialogTemplate& AboutDialogTemplate() {
    static const std::array<ControlTemplate, 4> controls = {{
        {"icon", kNoId, Static, L"", IDR_MAINFRAME, {11, 17, 20, 20}, kIconStatic},
        {"version", kNoId, Static, L"Z9M4-SET Version 1.0", 0, {40, 10, 119, 8}, kPlainLText},
        {"notice", kNoId, Static, L"Copyright (C) 2026", 0, {40, 25, 119, 8}, kLText},
        {"ok", kIdOk, Button, L"OK", 0, {178, 7, 50, 16}, kDefPushButton},
    }};
    static const DialogTemplate dialog = {
        .id = IDD_ABOUTBOX,
        .caption = L"About Z9M4-SET",
        .style = kDialog,
        .exStyle = 0,
        .rect = {0, 0, 235, 55},
        .pointSize = 8,
        .typeface = L"MS Shell Dlg",
        .controls = controls,
    };
    return dialog;
}

const StringResource& AboutMenuItem() {
    static const StringResource item = {IDS_ABOUTBOX, L"&About Z9M4-SET..."};
    return item;
}
