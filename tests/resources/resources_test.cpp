// Reads the cross-built Dravik.exe back on the build host: its headers and imports, and every
// resource the dialogs, the About box, the shell and Windows itself rely on.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dravik_dlg.h"
#include "pe_image.h"

namespace {

// Window and control styles, Win32 values.
constexpr std::uint32_t WS_POPUP = 0x80000000;
constexpr std::uint32_t WS_CHILD = 0x40000000;
constexpr std::uint32_t WS_VISIBLE = 0x10000000;
constexpr std::uint32_t WS_CAPTION = 0x00C00000;
constexpr std::uint32_t WS_BORDER = 0x00800000;
constexpr std::uint32_t WS_SYSMENU = 0x00080000;
constexpr std::uint32_t WS_GROUP = 0x00020000;
constexpr std::uint32_t WS_TABSTOP = 0x00010000;
constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000;
constexpr std::uint32_t DS_FIXEDSYS = 0x0008;
constexpr std::uint32_t DS_SETFONT = 0x0040;
constexpr std::uint32_t DS_MODALFRAME = 0x0080;
constexpr std::uint32_t DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;
constexpr std::uint32_t BS_PUSHBUTTON = 0x0000;
constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x0001;
constexpr std::uint32_t BS_TYPEMASK = 0x000F;
constexpr std::uint32_t ES_LEFT = 0x0000;
constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
constexpr std::uint32_t SS_LEFT = 0x0000;
constexpr std::uint32_t SS_ICON = 0x0003;
constexpr std::uint32_t SS_NOPREFIX = 0x0080;

constexpr std::uint16_t kButton = 0x80;
constexpr std::uint16_t kEdit = 0x81;
constexpr std::uint16_t kStatic = 0x82;

constexpr std::uint32_t kNoId = 0xFFFFFFFF;  // -1 of the resource script
constexpr std::uint32_t IDOK = 1;
constexpr std::uint32_t IDCANCEL = 2;

constexpr std::uint32_t kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr std::uint32_t kEditBox =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
constexpr std::uint32_t kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

constexpr std::uint16_t kLangChinesePrc = 0x0804;
constexpr std::uint16_t kLangEnglishUs = 0x0409;

constexpr std::uint16_t kIddAboutBox = 100;
constexpr std::uint16_t kIdsAboutBox = 101;
constexpr std::uint16_t kIddMainDialog = 102;
constexpr std::uint16_t kIdrMainFrame = 128;
constexpr std::uint32_t kIdcStatus = 1008;
// String 101 lives in block 101 / 16 + 1.
constexpr std::uint16_t kAboutStringBlock = kIdsAboutBox / 16 + 1;

struct ExpectedControl {
    std::uint32_t id;
    std::uint16_t windowClass;
    std::u16string text;
    std::int16_t x, y, cx, cy;
    std::uint32_t style;
};

std::string Describe(const pe::DialogControl& control) {
    return "control " + std::to_string(static_cast<std::int32_t>(control.id)) + " (" +
           pe::ToUtf8(control.text) + ")";
}

void ExpectControl(const pe::DialogControl& actual, const ExpectedControl& expected) {
    SCOPED_TRACE(Describe(actual));
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_TRUE(actual.windowClass.IsOrdinal(expected.windowClass))
        << "class " << pe::ToUtf8(actual.windowClass);
    if (expected.text.empty()) {
        EXPECT_TRUE(actual.text.kind == pe::ResourceId::Kind::None || actual.text.IsName(u""))
            << pe::ToUtf8(actual.text);
    } else {
        EXPECT_TRUE(actual.text.IsName(expected.text)) << pe::ToUtf8(actual.text);
    }
    EXPECT_EQ(std::make_tuple(actual.x, actual.y, actual.cx, actual.cy),
              std::make_tuple(expected.x, expected.y, expected.cx, expected.cy));
    EXPECT_EQ(actual.style, expected.style) << std::hex << actual.style;
    EXPECT_EQ(actual.exStyle, 0u);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Path of the executable under test: $DRAVIK_EXE, else the windows preset's build.
std::string ExePath() {
    const char* fromEnvironment = std::getenv("DRAVIK_EXE");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                  : DRAVIK_EXE_PATH;
}

class DravikExe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_file = std::make_unique<std::vector<std::uint8_t>>();
        s_image = std::make_unique<pe::Image>();
        s_error.clear();
        s_present = pe::ReadFileBytes(ExePath(), *s_file, s_error);
        if (s_present) s_parsed = pe::ParseImage(*s_file, *s_image, s_error);
    }
    static void TearDownTestSuite() {
        s_image.reset();
        s_file.reset();
    }

    void SetUp() override {
        if (!s_present) {
            GTEST_SKIP() << ExePath()
                         << " is not there: build it first (cmake --preset windows && cmake "
                            "--build --preset windows), or point DRAVIK_EXE at a build";
        }
        ASSERT_TRUE(s_parsed) << ExePath() << ": " << s_error;
    }

    static const pe::Image& Image() { return *s_image; }
    static const std::vector<std::uint8_t>& File() { return *s_file; }

    // The one resource of `type` and `name`; fails the test when there is none or several.
    static const pe::Resource* Single(std::uint16_t type, std::uint16_t name) {
        const std::vector<const pe::Resource*> found = Image().Find(type, name);
        EXPECT_EQ(found.size(), 1u) << "resource type " << type << " name " << name;
        return found.size() == 1 ? found.front() : nullptr;
    }

    static pe::DialogTemplate Dialog(std::uint16_t name) {
        pe::DialogTemplate dialog;
        const pe::Resource* resource = Single(pe::kRtDialog, name);
        std::string error;
        if (resource != nullptr) {
            EXPECT_TRUE(pe::ParseDialogEx(resource->data, dialog, error)) << error;
        }
        return dialog;
    }

  private:
    static inline std::unique_ptr<std::vector<std::uint8_t>> s_file;
    static inline std::unique_ptr<pe::Image> s_image;
    static inline std::string s_error;
    static inline bool s_present = false;
    static inline bool s_parsed = false;
};

TEST_F(DravikExe, IsA32BitWindowsGuiProgram) {
    constexpr std::uint16_t kExecutableImage = 0x0002;
    constexpr std::uint16_t k32BitMachine = 0x0100;
    EXPECT_EQ(Image().machine, pe::kMachineI386);
    EXPECT_EQ(Image().magic, pe::kMagicPe32);
    EXPECT_EQ(Image().subsystem, pe::kSubsystemWindowsGui);
    EXPECT_NE(Image().characteristics & kExecutableImage, 0);
    EXPECT_NE(Image().characteristics & k32BitMachine, 0);
}

TEST_F(DravikExe, ImportsOnlyDllsThatShipWithWindows) {
    // The MinGW runtime (libgcc, libstdc++, winpthread) must be linked in, not imported.
    const std::set<std::string> shipped = {
        "kernel32.dll", "user32.dll",   "gdi32.dll",   "comctl32.dll", "advapi32.dll",
        "msvcrt.dll",   "shell32.dll",  "ole32.dll",   "oleaut32.dll", "shlwapi.dll",
        "uxtheme.dll",  "comdlg32.dll", "version.dll", "ntdll.dll",
    };
    std::map<std::string, std::set<std::string>> functions;
    for (const pe::ImportedDll& dll : Image().imports) {
        EXPECT_TRUE(shipped.contains(Lower(dll.name))) << dll.name << " does not ship with Windows";
        EXPECT_FALSE(dll.delayLoaded) << dll.name;
        functions[Lower(dll.name)].insert(dll.functions.begin(), dll.functions.end());
    }
    // Wide entry points throughout, and the common controls actually bound, so the manifest's
    // version 6 is loaded.
    const std::pair<const char*, const char*> required[] = {
        {"user32.dll", "DialogBoxParamW"}, {"user32.dll", "MessageBoxW"},
        {"user32.dll", "AppendMenuW"},     {"comctl32.dll", "InitCommonControlsEx"},
        {"kernel32.dll", "CreateFileW"},   {"kernel32.dll", "GetModuleFileNameW"},
        {"advapi32.dll", "RegEnumValueW"},
    };
    for (const auto& [dll, function] : required)
        EXPECT_TRUE(functions[dll].contains(function)) << dll << "!" << function << " not imported";
}

TEST_F(DravikExe, ResourcesAreStoredUnderTheirLanguages) {
    std::map<std::uint16_t, int> perType;
    for (const pe::Resource& resource : Image().resources) {
        ASSERT_EQ(resource.type.kind, pe::ResourceId::Kind::Ordinal) << pe::ToUtf8(resource.type);
        ++perType[resource.type.ordinal];
        SCOPED_TRACE("type " + std::to_string(resource.type.ordinal) + " name " +
                     pe::ToUtf8(resource.name));
        switch (resource.type.ordinal) {
            case pe::kRtIcon:
            case pe::kRtGroupIcon:
            case pe::kRtDialog:
            case pe::kRtString:
                EXPECT_EQ(resource.language, kLangChinesePrc);
                break;
            case pe::kRtVersion:
                EXPECT_EQ(resource.language, kLangEnglishUs);
                break;
            case pe::kRtManifest:
                break;
            default:
                ADD_FAILURE() << "unexpected resource";
        }
    }
    // Each exactly once: no copy under a second language, no second manifest.
    EXPECT_NE(Single(pe::kRtDialog, kIddMainDialog), nullptr);
    EXPECT_NE(Single(pe::kRtDialog, kIddAboutBox), nullptr);
    EXPECT_NE(Single(pe::kRtString, kAboutStringBlock), nullptr);
    EXPECT_NE(Single(pe::kRtGroupIcon, kIdrMainFrame), nullptr);
    EXPECT_NE(Single(pe::kRtVersion, 1), nullptr);
    EXPECT_NE(Single(pe::kRtManifest, 1), nullptr);
    EXPECT_EQ(perType[pe::kRtDialog], 2);
    EXPECT_EQ(perType[pe::kRtString], 1);
    EXPECT_EQ(perType[pe::kRtGroupIcon], 1);
}

TEST_F(DravikExe, MainDialogTemplate) {
    const pe::DialogTemplate dialog = Dialog(kIddMainDialog);
    EXPECT_EQ(dialog.style,
              WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT)
        << std::hex << dialog.style;
    EXPECT_EQ(dialog.exStyle, WS_EX_APPWINDOW);
    EXPECT_EQ(std::make_tuple(dialog.x, dialog.y, dialog.cx, dialog.cy),
              std::make_tuple(0, 0, 310, 166));
    EXPECT_EQ(dialog.caption, u"Z9M4-SET");
    EXPECT_EQ(dialog.menu.kind, pe::ResourceId::Kind::None);
    EXPECT_EQ(dialog.windowClass.kind, pe::ResourceId::Kind::None);
    ASSERT_TRUE(dialog.hasFont);
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.typeface, u"MS Shell Dlg");
    EXPECT_EQ(dialog.weight, 0);
    EXPECT_EQ(dialog.italic, 0);

    // In template order, which is the tab order.
    const std::vector<ExpectedControl> expected = {
        {IDCANCEL, kButton, u"EXIT", 243, 135, 50, 16, kPushButton},
        {1000, kButton, u"SET", 31, 88, 50, 14, kPushButton},
        {1001, kButton, u"SET", 96, 88, 50, 14, kPushButton},
        {1002, kButton, u"SET", 161, 88, 50, 14, kPushButton},
        {1003, kButton, u"SET", 226, 88, 50, 14, kPushButton},
        {1004, kEdit, u"", 31, 60, 50, 14, kEditBox},
        {1005, kEdit, u"", 96, 60, 50, 14, kEditBox},
        {1006, kEdit, u"", 161, 60, 50, 14, kEditBox},
        {1007, kEdit, u"", 226, 60, 50, 14, kEditBox},
        {kNoId, kStatic, u"1310CW", 31, 39, 28, 8, kLabel},
        {kNoId, kStatic, u"1310Burst", 96, 39, 34, 8, kLabel},
        {kNoId, kStatic, u"1490CW", 161, 39, 28, 8, kLabel},
        {kNoId, kStatic, u"1550CW", 226, 39, 28, 8, kLabel},
    };
    // The status line follows them.
    ASSERT_EQ(dialog.controls.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i)
        ExpectControl(dialog.controls[i], expected[i]);
}

TEST_F(DravikExe, MainDialogKeysAndFocus) {
    const pe::DialogTemplate dialog = Dialog(kIddMainDialog);
    ASSERT_FALSE(dialog.controls.empty());
    // The dialog manager gives the focus to the first tab stop: EXIT.
    const auto firstTabStop =
        std::find_if(dialog.controls.begin(), dialog.controls.end(),
                     [](const pe::DialogControl& c) { return (c.style & WS_TABSTOP) != 0; });
    ASSERT_NE(firstTabStop, dialog.controls.end());
    EXPECT_EQ(firstTabStop->id, IDCANCEL);
    // Enter reaches the default IDOK handling only while no button is the default one, and
    // Esc and the close box need an enabled IDCANCEL.
    for (const pe::DialogControl& control : dialog.controls) {
        SCOPED_TRACE(Describe(control));
        EXPECT_NE(control.id, IDOK);
        if (control.windowClass.IsOrdinal(kButton)) {
            EXPECT_NE(control.style & BS_TYPEMASK, BS_DEFPUSHBUTTON);
        }
    }
}

TEST_F(DravikExe, StatusLineSitsUnderTheControls) {
    const pe::DialogTemplate dialog = Dialog(kIddMainDialog);
    const auto status = std::find_if(dialog.controls.begin(), dialog.controls.end(),
                                     [](const pe::DialogControl& c) { return c.id == kIdcStatus; });
    ASSERT_NE(status, dialog.controls.end());
    EXPECT_TRUE(status->windowClass.IsOrdinal(kStatic));
    EXPECT_EQ(status->style & (WS_TABSTOP | SS_NOPREFIX | 0x1F), SS_NOPREFIX)
        << "a plain, unfocusable text that shows '&' as it is";
    EXPECT_NE(status->style & WS_VISIBLE, 0u);
    // Inside the dialog, below every SET button, above EXIT, spanning the four columns.
    EXPECT_GE(status->x, 0);
    EXPECT_LE(status->x + status->cx, dialog.cx);
    EXPECT_GE(status->y, 88 + 14);
    EXPECT_LE(status->y + status->cy, 135);
    EXPECT_LE(status->x, 31);
    EXPECT_GE(status->x + status->cx, 226 + 50);
    EXPECT_GE(status->cy, 8) << "one line of the 8 point font";
}

TEST_F(DravikExe, AboutBoxTemplate) {
    const pe::DialogTemplate dialog = Dialog(kIddAboutBox);
    EXPECT_EQ(dialog.style, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT)
        << std::hex << dialog.style;
    EXPECT_EQ(dialog.exStyle, 0u);
    EXPECT_EQ(std::make_tuple(dialog.x, dialog.y, dialog.cx, dialog.cy),
              std::make_tuple(0, 0, 235, 55));
    EXPECT_EQ(dialog.caption, u"About Z9M4-SET");
    ASSERT_TRUE(dialog.hasFont);
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.typeface, u"MS Shell Dlg");

    ASSERT_EQ(dialog.controls.size(), 4u);
    const pe::DialogControl& icon = dialog.controls[0];
    EXPECT_EQ(icon.id, kNoId);
    EXPECT_TRUE(icon.windowClass.IsOrdinal(kStatic));
    EXPECT_TRUE(icon.text.IsOrdinal(kIdrMainFrame)) << "shows icon " << pe::ToUtf8(icon.text);
    EXPECT_EQ(std::make_tuple(icon.x, icon.y, icon.cx, icon.cy), std::make_tuple(11, 17, 20, 20));
    EXPECT_EQ(icon.style, WS_CHILD | WS_VISIBLE | SS_ICON) << std::hex << icon.style;

    ExpectControl(dialog.controls[1],
                  {kNoId, kStatic, u"Z9M4-SET Version 1.0", 40, 10, 119, 8, kLabel | SS_NOPREFIX});
    // The notice line: text of our own, at its place.
    const pe::DialogControl& notice = dialog.controls[2];
    EXPECT_TRUE(notice.windowClass.IsOrdinal(kStatic));
    EXPECT_EQ(notice.text.kind, pe::ResourceId::Kind::Name);
    EXPECT_FALSE(notice.text.name.empty());
    EXPECT_EQ(std::make_tuple(notice.x, notice.y, notice.cx, notice.cy),
              std::make_tuple(40, 25, 119, 8));
    EXPECT_EQ(notice.style, kLabel) << std::hex << notice.style;

    ExpectControl(dialog.controls[3], {IDOK, kButton, u"OK", 178, 7, 50, 16,
                                       WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON});
}

TEST_F(DravikExe, AboutMenuString) {
    const pe::Resource* block = Single(pe::kRtString, kAboutStringBlock);
    ASSERT_NE(block, nullptr);
    std::vector<pe::StringTableEntry> entries;
    std::string error;
    ASSERT_TRUE(pe::ParseStringTable(kAboutStringBlock, block->data, entries, error)) << error;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, kIdsAboutBox);
    EXPECT_EQ(entries[0].text, u"&About Z9M4-SET...");
}

TEST_F(DravikExe, IconHoldsSixteenThirtyTwoAndFortyEightPixelsAtThreeDepths) {
    const pe::Resource* group = Single(pe::kRtGroupIcon, kIdrMainFrame);
    ASSERT_NE(group, nullptr);
    std::vector<pe::IconGroupEntry> entries;
    std::string error;
    ASSERT_TRUE(pe::ParseIconGroup(group->data, entries, error)) << error;

    std::set<std::pair<int, int>> sizesAndDepths;
    for (const pe::IconGroupEntry& entry : entries) {
        SCOPED_TRACE("icon image " + std::to_string(entry.iconId));
        EXPECT_EQ(entry.width, entry.height);
        EXPECT_EQ(entry.planes, 1);
        EXPECT_EQ(entry.colorCount, entry.bitCount == 4 ? 16 : 0);
        sizesAndDepths.emplace(entry.width, entry.bitCount);
        // The image the entry names exists and is what the entry says it is.
        const pe::Resource* image = Single(pe::kRtIcon, entry.iconId);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->language, kLangChinesePrc);
        EXPECT_EQ(image->data.size(), entry.bytesInRes);
        pe::IconImage picture;
        ASSERT_TRUE(pe::ParseIconImage(image->data, picture, error)) << error;
        EXPECT_FALSE(picture.png) << "DIB images for every Windows version";
        EXPECT_EQ(std::make_tuple(picture.width, picture.height, picture.bitCount),
                  std::make_tuple(entry.width, entry.height, int{entry.bitCount}));
    }
    EXPECT_EQ(entries.size(), 9u);
    const std::set<std::pair<int, int>> expected = {
        {16, 4}, {16, 8}, {16, 24}, {32, 4}, {32, 8}, {32, 24}, {48, 4}, {48, 8}, {48, 24},
    };
    EXPECT_EQ(sizesAndDepths, expected);
}

TEST_F(DravikExe, VersionBlock) {
    const pe::Resource* resource = Single(pe::kRtVersion, 1);
    ASSERT_NE(resource, nullptr);
    pe::VersionInfo info;
    std::string error;
    ASSERT_TRUE(pe::ParseVersionInfo(resource->data, info, error)) << error;
    EXPECT_EQ(info.root.key, u"VS_VERSION_INFO");
    ASSERT_TRUE(info.hasFixed);
    constexpr std::uint32_t kVftApp = 1;
    EXPECT_EQ(std::make_pair(info.fixed.fileVersionMs, info.fixed.fileVersionLs),
              std::make_pair(0x00010000u, 0x00000001u));
    EXPECT_EQ(std::make_pair(info.fixed.productVersionMs, info.fixed.productVersionLs),
              std::make_pair(0x00010000u, 0x00000001u));
    EXPECT_EQ(info.fixed.fileType, kVftApp);

    const pe::VersionNode* strings = info.root.Child(u"StringFileInfo");
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->children.size(), 1u);
    const pe::VersionNode& table = strings->children.front();
    EXPECT_EQ(table.key, u"040904e4") << "English (United States), code page 1252";
    const std::pair<std::u16string, std::u16string> fields[] = {
        {u"FileVersion", u"1.0.0.1"},      {u"ProductVersion", u"1.0.0.1"},
        {u"InternalName", u"Dravik.exe"},  {u"OriginalFilename", u"Dravik.exe"},
        {u"FileDescription", u"Z9M4-SET"}, {u"ProductName", u"Z9M4-SET"},
    };
    for (const auto& [key, value] : fields) {
        const pe::VersionNode* field = table.Child(key);
        ASSERT_NE(field, nullptr) << pe::ToUtf8(key);
        EXPECT_EQ(field->type, 1) << pe::ToUtf8(key);
        EXPECT_EQ(field->text, value) << pe::ToUtf8(key);
    }

    const pe::VersionNode* vars = info.root.Child(u"VarFileInfo");
    ASSERT_NE(vars, nullptr);
    const pe::VersionNode* translation = vars->Child(u"Translation");
    ASSERT_NE(translation, nullptr);
    // One pair: language 0x0409, code page 1252 (0x04E4).
    const std::vector<std::uint8_t> expectedPair = {0x09, 0x04, 0xE4, 0x04};
    EXPECT_EQ(translation->value, expectedPair);
}

TEST_F(DravikExe, ManifestDependsOnCommonControlsSixOnly) {
    const pe::Resource* resource = Single(pe::kRtManifest, 1);
    ASSERT_NE(resource, nullptr);
    const std::string manifest(resource->data.begin(), resource->data.end());
    EXPECT_TRUE(manifest.starts_with("<?xml")) << manifest;
    EXPECT_NE(manifest.find("</assembly>"), std::string::npos) << manifest;

    // Each dependentAssembly's identity attributes.
    const std::regex dependency(R"(<dependentAssembly>([\s\S]*?)</dependentAssembly>)");
    const std::regex attribute(R"re(([A-Za-z]+)="([^"]*)")re");
    std::vector<std::map<std::string, std::string>> dependencies;
    for (auto it = std::sregex_iterator(manifest.begin(), manifest.end(), dependency);
         it != std::sregex_iterator(); ++it) {
        const std::string body = (*it)[1].str();
        std::map<std::string, std::string>& attributes = dependencies.emplace_back();
        for (auto a = std::sregex_iterator(body.begin(), body.end(), attribute);
             a != std::sregex_iterator(); ++a)
            attributes[(*a)[1].str()] = (*a)[2].str();
    }
    ASSERT_EQ(dependencies.size(), 1u) << manifest;
    const std::map<std::string, std::string> expected = {
        {"type", "win32"},
        {"name", "Microsoft.Windows.Common-Controls"},
        {"version", "6.0.0.0"},
        {"processorArchitecture", "x86"},
        {"publicKeyToken", "6595b64144ccf1df"},
        {"language", "*"},
    };
    EXPECT_EQ(dependencies.front(), expected);
}

// The operator's Chinese messages are wide literals of the dialog logic: the cross compiler
// must have stored them as the UTF-16 that MessageBoxW and SetWindowTextW take.
TEST_F(DravikExe, OperatorMessagesAreStoredAsUtf16) {
    for (const wchar_t* message : {kMsgNoMeterPort, kMsgOpenFailed, kStatusSearching}) {
        std::vector<std::uint8_t> utf16;
        for (const wchar_t* c = message; *c != L'\0'; ++c) {
            const auto code = static_cast<std::uint32_t>(*c);
            ASSERT_LT(code, 0x10000u) << "outside the Basic Multilingual Plane";
            utf16.push_back(static_cast<std::uint8_t>(code & 0xFF));
            utf16.push_back(static_cast<std::uint8_t>(code >> 8));
        }
        EXPECT_NE(std::search(File().begin(), File().end(), utf16.begin(), utf16.end()),
                  File().end())
            << "message " << utf16.size() / 2 << " characters long not found as UTF-16";
    }
}

// Cut short anywhere in the structures it reads, the image is refused rather than misread.
TEST_F(DravikExe, ParserRefusesCutShortData) {
    const std::vector<std::uint8_t>& file = File();
    const auto le16 = [&file](std::size_t at) {
        return static_cast<std::size_t>(file[at] | (file[at + 1] << 8));
    };
    const std::size_t peOffset = le16(0x3C);
    const std::size_t sectionTable = peOffset + 24 + le16(peOffset + 20);
    std::size_t resourceEnd = 0;
    std::size_t resourceDirectory = file.size();
    for (const pe::Resource& resource : Image().resources) {
        const auto start = static_cast<std::size_t>(resource.data.data() - file.data());
        resourceEnd = std::max(resourceEnd, start + resource.data.size());
    }
    for (const pe::Section& section : Image().sections) {
        if (section.name == ".rsrc") resourceDirectory = section.rawOffset;
    }
    ASSERT_LT(resourceDirectory, file.size());
    for (const std::size_t cut : {std::size_t{0}, std::size_t{0x3E}, peOffset + 3, peOffset + 30,
                                  sectionTable + 20, resourceDirectory + 20, resourceEnd - 1}) {
        pe::Image image;
        std::string error;
        EXPECT_FALSE(pe::ParseImage(pe::Bytes(file.data(), cut), image, error)) << "cut at " << cut;
        EXPECT_FALSE(error.empty());
    }

    const auto everyPrefixFails = [](const pe::Resource* resource, auto parse) {
        ASSERT_NE(resource, nullptr);
        for (std::size_t length = 0; length < resource->data.size(); ++length) {
            std::string error;
            EXPECT_FALSE(parse(resource->data.first(length), error)) << length << " bytes";
        }
        std::string error;
        EXPECT_TRUE(parse(resource->data, error)) << error;
    };
    everyPrefixFails(Single(pe::kRtDialog, kIddMainDialog), [](pe::Bytes data, std::string& e) {
        pe::DialogTemplate dialog;
        return pe::ParseDialogEx(data, dialog, e);
    });
    everyPrefixFails(Single(pe::kRtVersion, 1), [](pe::Bytes data, std::string& e) {
        pe::VersionInfo info;
        return pe::ParseVersionInfo(data, info, e);
    });
    everyPrefixFails(Single(pe::kRtGroupIcon, kIdrMainFrame), [](pe::Bytes data, std::string& e) {
        std::vector<pe::IconGroupEntry> entries;
        return pe::ParseIconGroup(data, entries, e);
    });
    everyPrefixFails(Single(pe::kRtString, kAboutStringBlock), [](pe::Bytes data, std::string& e) {
        std::vector<pe::StringTableEntry> entries;
        return pe::ParseStringTable(kAboutStringBlock, data, entries, e);
    });
}

TEST_F(DravikExe, ResdumpPrintsEveryResource) {
    const std::string command = std::string(RESDUMP_PATH) + " '" + ExePath() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr) << command;
    std::string output;
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        output.append(buffer.data(), n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    for (const char* expected : {
             "machine 0x014C (i386), PE32, subsystem 2 (Windows GUI)",
             "DIALOG #102, language 0x0804 Chinese (PRC)",
             "  CAPTION \"Z9M4-SET\"",
             "    id 2 class Button (#128) text \"EXIT\" rect 243, 135, 50, 16",
             "DIALOG #100, language 0x0804",
             "  101 \"&About Z9M4-SET...\"",
             "GROUP_ICON #128, language 0x0804",
             "VERSION #1, language 0x0409 English (United States)",
             "      OriginalFilename = \"Dravik.exe\"",
             "    Translation = 0x0409 1252",
             "MANIFEST #1",
             "name=\"Microsoft.Windows.Common-Controls\"",
         })
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
}

// dravik-cli.exe: a 32-bit console program, as self-contained as Dravik.exe, whose version block
// names the command line and carries project()'s version.
TEST(DravikCliExe, IsA32BitConsoleProgramWithItsVersionBlock) {
    std::vector<std::uint8_t> file;
    pe::Image image;
    std::string error;
    if (!pe::ReadFileBytes(DRAVIK_CLI_EXE_PATH, file, error)) {
        GTEST_SKIP() << DRAVIK_CLI_EXE_PATH << " is not there: build the windows preset first";
    }
    ASSERT_TRUE(pe::ParseImage(file, image, error)) << error;
    EXPECT_EQ(image.machine, pe::kMachineI386);
    EXPECT_EQ(image.magic, pe::kMagicPe32);
    EXPECT_EQ(image.subsystem, pe::kSubsystemWindowsCui);
    for (const pe::ImportedDll& dll : image.imports) {
        EXPECT_TRUE((std::set<std::string>{"kernel32.dll", "advapi32.dll", "msvcrt.dll"}.contains(
            Lower(dll.name))))
            << dll.name << ": only what ships with Windows";
    }

    const std::vector<const pe::Resource*> versions = image.Find(pe::kRtVersion, 1);
    ASSERT_EQ(versions.size(), 1u);
    pe::VersionInfo info;
    ASSERT_TRUE(pe::ParseVersionInfo(versions.front()->data, info, error)) << error;
    const pe::VersionNode* strings = info.root.Child(u"StringFileInfo");
    ASSERT_TRUE(strings != nullptr && strings->children.size() == 1u);
    const std::u16string version(DRAVIK_PROJECT_VERSION,
                                 DRAVIK_PROJECT_VERSION + std::strlen(DRAVIK_PROJECT_VERSION));
    const std::pair<std::u16string, std::u16string> fields[] = {
        {u"FileDescription", u"Z9M4-SET command line"},
        {u"FileVersion", version},
        {u"OriginalFilename", u"dravik-cli.exe"},
    };
    for (const auto& [key, value] : fields) {
        const pe::VersionNode* field = strings->children.front().Child(key);
        ASSERT_NE(field, nullptr) << pe::ToUtf8(key);
        EXPECT_EQ(field->text, value) << pe::ToUtf8(key);
    }
}

}  // namespace
