#pragma once

// Dialog templates 102 (the main dialog) and 100 (the About box) as data: the dialog's caption,
// style, size and font, and every control's ID, class, text, rectangle in dialog units and
// style, in template order, which is also the tab order. res/dravik.rc writes the same
// templates for windres. The Qt view lays its windows out from this table, and the resources
// test checks the built Dravik.exe against it, so the two front ends cannot drift apart.
// Free of any toolkit.

#include <cstdint>
#include <span>

// Styles with the values Win32 stores in a template (<windows.h> stays out of shared headers).
inline constexpr std::uint32_t kWsPopup = 0x80000000;
inline constexpr std::uint32_t kWsChild = 0x40000000;
inline constexpr std::uint32_t kWsVisible = 0x10000000;
inline constexpr std::uint32_t kWsCaption = 0x00C00000;
inline constexpr std::uint32_t kWsBorder = 0x00800000;
inline constexpr std::uint32_t kWsSysMenu = 0x00080000;
inline constexpr std::uint32_t kWsGroup = 0x00020000;
inline constexpr std::uint32_t kWsTabStop = 0x00010000;
inline constexpr std::uint32_t kWsExAppWindow = 0x00040000;
inline constexpr std::uint32_t kDsModalFrame = 0x0080;
inline constexpr std::uint32_t kDsShellFont = 0x0048;  // DS_SETFONT | DS_FIXEDSYS
inline constexpr std::uint32_t kBsTypeMask = 0x000F;
inline constexpr std::uint32_t kBsDefPushButton = 0x0001;
inline constexpr std::uint32_t kEsAutoHScroll = 0x0080;
inline constexpr std::uint32_t kSsTypeMask = 0x001F;
inline constexpr std::uint32_t kSsIcon = 0x0003;
inline constexpr std::uint32_t kSsNoPrefix = 0x0080;
inline constexpr std::uint32_t kSsEndEllipsis = 0x4000;

// The dialog manager's own IDs for the OK and Cancel buttons; EXIT is the Cancel button.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
// The ID of a control the program never addresses (-1 in the resource script).
inline constexpr int kNoId = -1;

// The predefined window classes of a template's controls, by their atoms.
enum class ControlClass : std::uint16_t { Button = 0x0080, Edit = 0x0081, Static = 0x0082 };

// A rectangle in dialog units: a quarter of the font's average character width across, an
// eighth of its height down.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct ControlTemplate {
    const char* name;  // the control's name in the Qt view and in test messages
    int id;
    ControlClass windowClass;
    const wchar_t* text;
    // The icon resource a static icon control (kSsIcon) shows in place of a text; else 0.
    std::uint16_t icon;
    DialogRect rect;
    std::uint32_t style;
};

struct DialogTemplate {
    int id;
    const wchar_t* caption;
    std::uint32_t style;
    std::uint32_t exStyle;
    DialogRect rect;
    int pointSize;
    const wchar_t* typeface;
    std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();
const DialogTemplate& AboutDialogTemplate();

// An entry of the string table.
struct StringResource {
    int id;
    const wchar_t* text;
};

// The About item of the main dialog's menu.
const StringResource& AboutMenuItem();
