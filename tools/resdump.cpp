// resdump: prints what a Windows executable carries, read from the file on any host: machine,
// subsystem, imported DLLs and functions, and every resource with its language, decoding
// dialog templates (DIALOGEX), string tables, VERSIONINFO, manifests and icon groups.
//
// usage: resdump FILE
// Exit status 0 when the file parsed, 1 when it did not, 2 on a usage error. A resource that
// fails to decode is reported on its own line and does not stop the dump.

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

struct FlagName {
    std::uint32_t mask;
    std::uint32_t value;
    const char* name;
};

// Window styles shared by dialogs and controls. WS_GROUP/WS_TABSTOP share their bits with
// WS_MINIMIZEBOX/WS_MAXIMIZEBOX, which only mean something on a top-level window.
constexpr FlagName kWindowStyles[] = {
    {0x80000000, 0x80000000, "WS_POPUP"},        {0x40000000, 0x40000000, "WS_CHILD"},
    {0x20000000, 0x20000000, "WS_MINIMIZE"},     {0x10000000, 0x10000000, "WS_VISIBLE"},
    {0x08000000, 0x08000000, "WS_DISABLED"},     {0x04000000, 0x04000000, "WS_CLIPSIBLINGS"},
    {0x02000000, 0x02000000, "WS_CLIPCHILDREN"}, {0x01000000, 0x01000000, "WS_MAXIMIZE"},
    {0x00C00000, 0x00C00000, "WS_CAPTION"},      {0x00C00000, 0x00800000, "WS_BORDER"},
    {0x00C00000, 0x00400000, "WS_DLGFRAME"},     {0x00200000, 0x00200000, "WS_VSCROLL"},
    {0x00100000, 0x00100000, "WS_HSCROLL"},      {0x00080000, 0x00080000, "WS_SYSMENU"},
    {0x00040000, 0x00040000, "WS_THICKFRAME"},
};
constexpr FlagName kTopLevelStyles[] = {
    {0x00020000, 0x00020000, "WS_MINIMIZEBOX"},
    {0x00010000, 0x00010000, "WS_MAXIMIZEBOX"},
};
constexpr FlagName kChildStyles[] = {
    {0x00020000, 0x00020000, "WS_GROUP"},
    {0x00010000, 0x00010000, "WS_TABSTOP"},
};
constexpr FlagName kDialogStyles[] = {
    {0x0001, 0x0001, "DS_ABSALIGN"},     {0x0002, 0x0002, "DS_SYSMODAL"},
    {0x0004, 0x0004, "DS_3DLOOK"},       {0x0008, 0x0008, "DS_FIXEDSYS"},
    {0x0010, 0x0010, "DS_NOFAILCREATE"}, {0x0020, 0x0020, "DS_LOCALEDIT"},
    {0x0040, 0x0040, "DS_SETFONT"},      {0x0080, 0x0080, "DS_MODALFRAME"},
    {0x0100, 0x0100, "DS_NOIDLEMSG"},    {0x0200, 0x0200, "DS_SETFOREGROUND"},
    {0x0400, 0x0400, "DS_CONTROL"},      {0x0800, 0x0800, "DS_CENTER"},
    {0x1000, 0x1000, "DS_CENTERMOUSE"},  {0x2000, 0x2000, "DS_CONTEXTHELP"},
};
constexpr FlagName kButtonStyles[] = {
    {0x000F, 0x0000, "BS_PUSHBUTTON"},
    {0x000F, 0x0001, "BS_DEFPUSHBUTTON"},
    {0x000F, 0x0002, "BS_CHECKBOX"},
    {0x000F, 0x0003, "BS_AUTOCHECKBOX"},
    {0x000F, 0x0004, "BS_RADIOBUTTON"},
    {0x000F, 0x0005, "BS_3STATE"},
    {0x000F, 0x0006, "BS_AUTO3STATE"},
    {0x000F, 0x0007, "BS_GROUPBOX"},
    {0x000F, 0x0009, "BS_AUTORADIOBUTTON"},
    {0x000F, 0x000B, "BS_OWNERDRAW"},
    {0x0020, 0x0020, "BS_LEFTTEXT"},
    {0x0040, 0x0040, "BS_ICON"},
    {0x0080, 0x0080, "BS_BITMAP"},
    {0x0300, 0x0100, "BS_LEFT"},
    {0x0300, 0x0200, "BS_RIGHT"},
    {0x0300, 0x0300, "BS_CENTER"},
    {0x0C00, 0x0400, "BS_TOP"},
    {0x0C00, 0x0800, "BS_BOTTOM"},
    {0x0C00, 0x0C00, "BS_VCENTER"},
    {0x1000, 0x1000, "BS_PUSHLIKE"},
    {0x2000, 0x2000, "BS_MULTILINE"},
    {0x4000, 0x4000, "BS_NOTIFY"},
    {0x8000, 0x8000, "BS_FLAT"},
};
constexpr FlagName kEditStyles[] = {
    {0x0003, 0x0000, "ES_LEFT"},        {0x0003, 0x0001, "ES_CENTER"},
    {0x0003, 0x0002, "ES_RIGHT"},       {0x0004, 0x0004, "ES_MULTILINE"},
    {0x0008, 0x0008, "ES_UPPERCASE"},   {0x0010, 0x0010, "ES_LOWERCASE"},
    {0x0020, 0x0020, "ES_PASSWORD"},    {0x0040, 0x0040, "ES_AUTOVSCROLL"},
    {0x0080, 0x0080, "ES_AUTOHSCROLL"}, {0x0100, 0x0100, "ES_NOHIDESEL"},
    {0x0400, 0x0400, "ES_OEMCONVERT"},  {0x0800, 0x0800, "ES_READONLY"},
    {0x1000, 0x1000, "ES_WANTRETURN"},  {0x2000, 0x2000, "ES_NUMBER"},
};
constexpr FlagName kStaticStyles[] = {
    {0x001F, 0x0000, "SS_LEFT"},
    {0x001F, 0x0001, "SS_CENTER"},
    {0x001F, 0x0002, "SS_RIGHT"},
    {0x001F, 0x0003, "SS_ICON"},
    {0x001F, 0x0004, "SS_BLACKRECT"},
    {0x001F, 0x0005, "SS_GRAYRECT"},
    {0x001F, 0x0006, "SS_WHITERECT"},
    {0x001F, 0x0007, "SS_BLACKFRAME"},
    {0x001F, 0x0008, "SS_GRAYFRAME"},
    {0x001F, 0x0009, "SS_WHITEFRAME"},
    {0x001F, 0x000B, "SS_SIMPLE"},
    {0x001F, 0x000C, "SS_LEFTNOWORDWRAP"},
    {0x001F, 0x000D, "SS_OWNERDRAW"},
    {0x001F, 0x000E, "SS_BITMAP"},
    {0x001F, 0x000F, "SS_ENHMETAFILE"},
    {0x001F, 0x0010, "SS_ETCHEDHORZ"},
    {0x001F, 0x0011, "SS_ETCHEDVERT"},
    {0x001F, 0x0012, "SS_ETCHEDFRAME"},
    {0x0040, 0x0040, "SS_REALSIZECONTROL"},
    {0x0080, 0x0080, "SS_NOPREFIX"},
    {0x0100, 0x0100, "SS_NOTIFY"},
    {0x0200, 0x0200, "SS_CENTERIMAGE"},
    {0x0400, 0x0400, "SS_RIGHTJUST"},
    {0x0800, 0x0800, "SS_REALSIZEIMAGE"},
    {0x1000, 0x1000, "SS_SUNKEN"},
    {0x2000, 0x2000, "SS_EDITCONTROL"},
    {0xC000, 0x4000, "SS_ENDELLIPSIS"},
    {0xC000, 0x8000, "SS_PATHELLIPSIS"},
    {0xC000, 0xC000, "SS_WORDELLIPSIS"},
};
constexpr FlagName kExStyles[] = {
    {0x00000001, 0x00000001, "WS_EX_DLGMODALFRAME"},
    {0x00000004, 0x00000004, "WS_EX_NOPARENTNOTIFY"},
    {0x00000008, 0x00000008, "WS_EX_TOPMOST"},
    {0x00000010, 0x00000010, "WS_EX_ACCEPTFILES"},
    {0x00000020, 0x00000020, "WS_EX_TRANSPARENT"},
    {0x00000040, 0x00000040, "WS_EX_MDICHILD"},
    {0x00000080, 0x00000080, "WS_EX_TOOLWINDOW"},
    {0x00000100, 0x00000100, "WS_EX_WINDOWEDGE"},
    {0x00000200, 0x00000200, "WS_EX_CLIENTEDGE"},
    {0x00000400, 0x00000400, "WS_EX_CONTEXTHELP"},
    {0x00001000, 0x00001000, "WS_EX_RIGHT"},
    {0x00002000, 0x00002000, "WS_EX_RTLREADING"},
    {0x00004000, 0x00004000, "WS_EX_LEFTSCROLLBAR"},
    {0x00010000, 0x00010000, "WS_EX_CONTROLPARENT"},
    {0x00020000, 0x00020000, "WS_EX_STATICEDGE"},
    {0x00040000, 0x00040000, "WS_EX_APPWINDOW"},
    {0x00080000, 0x00080000, "WS_EX_LAYERED"},
    {0x00100000, 0x00100000, "WS_EX_NOINHERITLAYOUT"},
    {0x00400000, 0x00400000, "WS_EX_LAYOUTRTL"},
    {0x02000000, 0x02000000, "WS_EX_COMPOSITED"},
    {0x08000000, 0x08000000, "WS_EX_NOACTIVATE"},
};

constexpr std::uint16_t kClassButton = 0x80;
constexpr std::uint16_t kClassEdit = 0x81;
constexpr std::uint16_t kClassStatic = 0x82;

// Appends the names of the flags set in `value` to `out`; `covered` collects their bits.
void NameFlags(std::span<const FlagName> table, std::uint32_t value, std::string& out,
               std::uint32_t& covered) {
    for (const FlagName& flag : table) {
        if ((value & flag.mask) != flag.value) continue;
        if (!out.empty()) out += '|';
        out += flag.name;
        covered |= flag.mask;
    }
}

// "0x50010000 (WS_CHILD|WS_VISIBLE|WS_TABSTOP|BS_PUSHBUTTON)", unnamed bits in hex at the end.
std::string DescribeStyle(std::uint32_t style, std::span<const FlagName> lowWord, bool topLevel) {
    std::string names;
    std::uint32_t covered = 0;
    NameFlags(kWindowStyles, style, names, covered);
    NameFlags(topLevel ? std::span<const FlagName>(kTopLevelStyles)
                       : std::span<const FlagName>(kChildStyles),
              style, names, covered);
    NameFlags(lowWord, style, names, covered);
    char buffer[64];
    if ((style & ~covered) != 0) {
        std::snprintf(buffer, sizeof buffer, "0x%X", style & ~covered);
        names += (names.empty() ? "" : "|") + std::string(buffer);
    }
    std::snprintf(buffer, sizeof buffer, "0x%08X", style);
    return std::string(buffer) + " (" + names + ")";
}

std::string DescribeExStyle(std::uint32_t exStyle) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%08X", exStyle);
    if (exStyle == 0) return buffer;
    std::string names;
    std::uint32_t covered = 0;
    NameFlags(kExStyles, exStyle, names, covered);
    if ((exStyle & ~covered) != 0) {
        char rest[32];
        std::snprintf(rest, sizeof rest, "0x%X", exStyle & ~covered);
        names += (names.empty() ? "" : "|") + std::string(rest);
    }
    return std::string(buffer) + " (" + names + ")";
}

std::string LanguageName(std::uint16_t language) {
    struct Known {
        std::uint16_t id;
        const char* name;
    };
    static constexpr Known kKnown[] = {
        {0x0000, "neutral"},
        {0x0400, "process default"},
        {0x0409, "English (United States)"},
        {0x0404, "Chinese (Taiwan)"},
        {0x0804, "Chinese (PRC)"},
        {0x0C04, "Chinese (Hong Kong)"},
        {0x0809, "English (United Kingdom)"},
        {0x0407, "German (Germany)"},
        {0x040C, "French (France)"},
        {0x0411, "Japanese"},
    };
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "0x%04X", language);
    for (const Known& known : kKnown) {
        if (known.id == language) return std::string(buffer) + " " + known.name;
    }
    return buffer;
}

std::string TypeName(const pe::ResourceId& type) {
    static constexpr const char* kTypes[] = {
        nullptr,  "CURSOR",       "BITMAP",       "ICON",  "MENU",
        "DIALOG", "STRING",       "FONTDIR",      "FONT",  "ACCELERATOR",
        "RCDATA", "MESSAGETABLE", "GROUP_CURSOR", nullptr, "GROUP_ICON",
        nullptr,  "VERSION",      "DLGINCLUDE",   nullptr, "PLUGPLAY",
        "VXD",    "ANICURSOR",    "ANIICON",      "HTML",  "MANIFEST",
    };
    if (type.kind == pe::ResourceId::Kind::Ordinal && type.ordinal < std::size(kTypes) &&
        kTypes[type.ordinal] != nullptr)
        return kTypes[type.ordinal];
    return pe::ToUtf8(type);
}

std::string Quoted(std::u16string_view text) {
    std::string out = "\"";
    for (const char c : pe::ToUtf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string ClassName(const pe::ResourceId& windowClass) {
    static constexpr const char* kAtoms[] = {"Button",  "Edit",      "Static",
                                             "ListBox", "ScrollBar", "ComboBox"};
    if (windowClass.kind == pe::ResourceId::Kind::Ordinal && windowClass.ordinal >= 0x80 &&
        windowClass.ordinal <= 0x85)
        return std::string(kAtoms[windowClass.ordinal - 0x80]) + " (#" +
               std::to_string(windowClass.ordinal) + ")";
    if (windowClass.kind == pe::ResourceId::Kind::Name) return Quoted(windowClass.name);
    return pe::ToUtf8(windowClass);
}

std::span<const FlagName> ControlStyleNames(const pe::ResourceId& windowClass) {
    if (windowClass.IsOrdinal(kClassButton)) return kButtonStyles;
    if (windowClass.IsOrdinal(kClassEdit)) return kEditStyles;
    if (windowClass.IsOrdinal(kClassStatic)) return kStaticStyles;
    return {};
}

std::string ControlText(const pe::ResourceId& text) {
    if (text.kind == pe::ResourceId::Kind::Name) return Quoted(text.name);
    if (text.kind == pe::ResourceId::Kind::Ordinal)
        return "resource #" + std::to_string(text.ordinal);
    return "\"\"";
}

void PrintDialog(const pe::Resource& resource) {
    pe::DialogTemplate dialog;
    std::string error;
    if (!pe::ParseDialogEx(resource.data, dialog, error)) {
        std::printf("  error: %s\n", error.c_str());
        return;
    }
    std::printf("  DIALOGEX %d, %d, %d, %d\n", dialog.x, dialog.y, dialog.cx, dialog.cy);
    std::printf("  STYLE %s\n", DescribeStyle(dialog.style, kDialogStyles, true).c_str());
    std::printf("  EXSTYLE %s\n", DescribeExStyle(dialog.exStyle).c_str());
    std::printf("  CAPTION %s\n", Quoted(dialog.caption).c_str());
    if (dialog.menu.kind != pe::ResourceId::Kind::None)
        std::printf("  MENU %s\n", pe::ToUtf8(dialog.menu).c_str());
    if (dialog.windowClass.kind != pe::ResourceId::Kind::None)
        std::printf("  CLASS %s\n", ClassName(dialog.windowClass).c_str());
    if (dialog.hasFont)
        std::printf("  FONT %u, %s, weight %u, italic %u, charset %u\n", dialog.pointSize,
                    Quoted(dialog.typeface).c_str(), dialog.weight, dialog.italic, dialog.charset);
    if (dialog.helpId != 0) std::printf("  HELPID %u\n", dialog.helpId);
    std::printf("  %zu controls:\n", dialog.controls.size());
    for (const pe::DialogControl& control : dialog.controls) {
        std::printf("    id %d class %s text %s rect %d, %d, %d, %d\n",
                    static_cast<std::int32_t>(control.id), ClassName(control.windowClass).c_str(),
                    ControlText(control.text).c_str(), control.x, control.y, control.cx,
                    control.cy);
        std::printf(
            "      style %s exstyle %s\n",
            DescribeStyle(control.style, ControlStyleNames(control.windowClass), false).c_str(),
            DescribeExStyle(control.exStyle).c_str());
        if (control.helpId != 0 || !control.creationData.empty())
            std::printf("      help id %u, %zu bytes of creation data\n", control.helpId,
                        control.creationData.size());
    }
}

void PrintStringTable(const pe::Resource& resource) {
    std::vector<pe::StringTableEntry> entries;
    std::string error;
    if (resource.name.kind != pe::ResourceId::Kind::Ordinal ||
        !pe::ParseStringTable(resource.name.ordinal, resource.data, entries, error)) {
        std::printf("  error: %s\n",
                    error.empty() ? "string table without a block number" : error.c_str());
        return;
    }
    for (const pe::StringTableEntry& entry : entries)
        std::printf("  %u %s\n", entry.id, Quoted(entry.text).c_str());
}

void PrintVersionNode(const pe::VersionNode& node, int depth) {
    const std::string indent(static_cast<std::size_t>(depth) * 2 + 2, ' ');
    const std::string key = pe::ToUtf8(node.key);
    if (!node.children.empty()) {
        std::printf("%sBLOCK %s\n", indent.c_str(), key.c_str());
        for (const pe::VersionNode& child : node.children)
            PrintVersionNode(child, depth + 1);
    } else if (node.type == 1) {
        std::printf("%s%s = %s\n", indent.c_str(), key.c_str(), Quoted(node.text).c_str());
    } else if (node.key == u"Translation") {
        // Pairs of language and code page.
        std::printf("%s%s =", indent.c_str(), key.c_str());
        for (std::size_t i = 0; i + 3 < node.value.size(); i += 4) {
            std::printf(" 0x%04X %u", node.value[i] | (node.value[i + 1] << 8),
                        node.value[i + 2] | (node.value[i + 3] << 8));
        }
        std::printf("\n");
    } else {
        std::printf("%s%s =", indent.c_str(), key.c_str());
        for (const std::uint8_t value : node.value)
            std::printf(" %02X", value);
        std::printf("\n");
    }
}

void PrintVersion(const pe::Resource& resource) {
    pe::VersionInfo info;
    std::string error;
    if (!pe::ParseVersionInfo(resource.data, info, error)) {
        std::printf("  error: %s\n", error.c_str());
        return;
    }
    if (info.hasFixed) {
        const pe::FixedFileInfo& f = info.fixed;
        std::printf("  FILEVERSION %u,%u,%u,%u\n", f.fileVersionMs >> 16, f.fileVersionMs & 0xFFFF,
                    f.fileVersionLs >> 16, f.fileVersionLs & 0xFFFF);
        std::printf("  PRODUCTVERSION %u,%u,%u,%u\n", f.productVersionMs >> 16,
                    f.productVersionMs & 0xFFFF, f.productVersionLs >> 16,
                    f.productVersionLs & 0xFFFF);
        std::printf(
            "  FILEFLAGSMASK 0x%X FILEFLAGS 0x%X FILEOS 0x%X FILETYPE 0x%X "
            "FILESUBTYPE 0x%X\n",
            f.fileFlagsMask, f.fileFlags, f.fileOs, f.fileType, f.fileSubtype);
    } else {
        std::printf("  no fixed file information\n");
    }
    for (const pe::VersionNode& child : info.root.children)
        PrintVersionNode(child, 0);
}

void PrintIconGroup(const pe::Image& image, const pe::Resource& resource) {
    std::vector<pe::IconGroupEntry> entries;
    std::string error;
    if (!pe::ParseIconGroup(resource.data, entries, error)) {
        std::printf("  error: %s\n", error.c_str());
        return;
    }
    for (const pe::IconGroupEntry& entry : entries) {
        std::printf("  icon #%u: %dx%d, %u bpp, %u colours, %u planes, %u bytes", entry.iconId,
                    entry.width, entry.height, entry.bitCount, entry.colorCount, entry.planes,
                    entry.bytesInRes);
        const std::vector<const pe::Resource*> images = image.Find(pe::kRtIcon, entry.iconId);
        if (images.empty()) {
            std::printf(" - image missing\n");
            continue;
        }
        pe::IconImage picture;
        if (!pe::ParseIconImage(images.front()->data, picture, error)) {
            std::printf(" - image: %s\n", error.c_str());
            continue;
        }
        std::printf(" - image: %s %dx%d, %d bpp\n", picture.png ? "PNG" : "DIB", picture.width,
                    picture.height, picture.bitCount);
    }
}

void PrintIconImage(const pe::Resource& resource) {
    pe::IconImage picture;
    std::string error;
    if (!pe::ParseIconImage(resource.data, picture, error)) {
        std::printf("  error: %s\n", error.c_str());
        return;
    }
    std::printf("  %s %dx%d, %d bpp\n", picture.png ? "PNG" : "DIB", picture.width, picture.height,
                picture.bitCount);
}

void PrintResource(const pe::Image& image, const pe::Resource& resource) {
    std::printf("\n%s %s, language %s, %zu bytes\n", TypeName(resource.type).c_str(),
                pe::ToUtf8(resource.name).c_str(), LanguageName(resource.language).c_str(),
                resource.data.size());
    if (resource.type.kind != pe::ResourceId::Kind::Ordinal) return;
    switch (resource.type.ordinal) {
        case pe::kRtDialog:
            PrintDialog(resource);
            break;
        case pe::kRtString:
            PrintStringTable(resource);
            break;
        case pe::kRtVersion:
            PrintVersion(resource);
            break;
        case pe::kRtIcon:
            PrintIconImage(resource);
            break;
        case pe::kRtGroupIcon:
            PrintIconGroup(image, resource);
            break;
        case pe::kRtManifest:
            std::fwrite(resource.data.data(), 1, resource.data.size(), stdout);
            if (!resource.data.empty() && resource.data.back() != '\n') std::printf("\n");
            break;
        default:
            break;
    }
}

void PrintHeaders(const pe::Image& image) {
    std::printf("machine 0x%04X%s, %s, subsystem %u%s, characteristics 0x%04X\n", image.machine,
                image.machine == pe::kMachineI386 ? " (i386)" : "",
                image.magic == pe::kMagicPe32 ? "PE32" : "PE32+", image.subsystem,
                image.subsystem == pe::kSubsystemWindowsGui   ? " (Windows GUI)"
                : image.subsystem == pe::kSubsystemWindowsCui ? " (Windows console)"
                                                              : "",
                image.characteristics);
    for (const pe::ImportedDll& dll : image.imports) {
        std::printf("import %s%s:", dll.name.c_str(), dll.delayLoaded ? " (delay-loaded)" : "");
        for (const std::string& function : dll.functions)
            std::printf(" %s", function.c_str());
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: resdump FILE\n");
        return 2;
    }
    std::vector<std::uint8_t> file;
    std::string error;
    pe::Image image;
    if (!pe::ReadFileBytes(argv[1], file, error) || !pe::ParseImage(file, image, error)) {
        std::fprintf(stderr, "resdump: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    PrintHeaders(image);
    for (const pe::Resource& resource : image.resources)
        PrintResource(image, resource);
    return 0;
}
