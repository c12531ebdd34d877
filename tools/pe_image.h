#pragma once

// Reads what a Windows executable carries without running it: the PE headers, the imported
// DLLs and functions, and the resource tree, with decoders for the resource kinds the program
// uses (DIALOGEX templates, string tables, VERSIONINFO, icon groups and images). Works on any
// host; every read is bounds-checked, and malformed input is reported through the results,
// never by reading past the data.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pe {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMagicPe32 = 0x010B;
inline constexpr std::uint16_t kMagicPe32Plus = 0x020B;
inline constexpr std::uint16_t kSubsystemWindowsGui = 2;
inline constexpr std::uint16_t kSubsystemWindowsCui = 3;

// Predefined resource types.
inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtDialog = 5;
inline constexpr std::uint16_t kRtString = 6;
inline constexpr std::uint16_t kRtGroupIcon = 14;
inline constexpr std::uint16_t kRtVersion = 16;
inline constexpr std::uint16_t kRtManifest = 24;

// A resource type or name, or a dialog's menu, class or control text: a 16-bit ordinal or a
// string, or absent (an empty menu or class field of a dialog template).
struct ResourceId {
    enum class Kind { None, Ordinal, Name };
    Kind kind = Kind::None;
    std::uint16_t ordinal = 0;
    std::u16string name;

    bool IsOrdinal(std::uint16_t value) const { return kind == Kind::Ordinal && ordinal == value; }
    bool IsName(std::u16string_view value) const { return kind == Kind::Name && name == value; }
};

struct Resource {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;  // as the data entry records it (usually 0)
    Bytes data;                  // points into the image's file bytes
};

struct Section {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
};

struct ImportedDll {
    std::string name;
    bool delayLoaded = false;
    // Function names; imports by ordinal appear as "#<ordinal>".
    std::vector<std::string> functions;
};

struct Image {
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;  // COFF header flags
    std::uint16_t magic = 0;            // kMagicPe32 or kMagicPe32Plus
    std::uint16_t subsystem = 0;
    std::uint64_t imageBase = 0;
    std::vector<Section> sections;
    std::vector<ImportedDll> imports;
    std::vector<Resource> resources;  // in directory order: type, then name, then language

    // The resources of a type and ordinal name, in every language they exist in.
    std::vector<const Resource*> Find(std::uint16_t type, std::uint16_t name) const;
};

// Parses `file` (which must outlive `image`). False with a message in `error` when the file is
// not a PE image or a structure it references lies outside the file.
bool ParseImage(Bytes file, Image& image, std::string& error);

// Reads a whole file. False with a message when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);

struct DialogControl {
    std::uint32_t helpId = 0;
    std::uint32_t exStyle = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::uint32_t id = 0;
    ResourceId windowClass;  // ordinals 0x80..0x85: Button, Edit, Static, ListBox, ScrollBar,
                             // ComboBox
    ResourceId text;         // an ordinal names a resource (the icon of a static icon)
    std::vector<std::uint8_t> creationData;
};

struct DialogTemplate {
    std::uint32_t helpId = 0;
    std::uint32_t exStyle = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    ResourceId menu;
    ResourceId windowClass;
    std::u16string caption;
    bool hasFont = false;  // DS_SETFONT: the font fields below are present
    std::uint16_t pointSize = 0;
    std::uint16_t weight = 0;
    std::uint8_t italic = 0;
    std::uint8_t charset = 0;
    std::u16string typeface;
    std::vector<DialogControl> controls;
};

// An extended dialog template (DIALOGEX). False when the data is no DIALOGEX or is cut short.
bool ParseDialogEx(Bytes data, DialogTemplate& dialog, std::string& error);

struct StringTableEntry {
    std::uint16_t id = 0;
    std::u16string text;
};

// String table block `blockId` (strings (blockId - 1) * 16 .. blockId * 16 - 1); empty slots
// are left out.
bool ParseStringTable(std::uint16_t blockId, Bytes data, std::vector<StringTableEntry>& entries,
                      std::string& error);

// One node of a VERSIONINFO tree (VS_VERSIONINFO, StringFileInfo, a string table, a string,
// VarFileInfo, Var).
struct VersionNode {
    std::u16string key;
    std::uint16_t type = 0;  // 1: text value, 0: binary value
    std::vector<std::uint8_t> value;
    std::u16string text;  // the value of a text node, up to its terminating zero
    std::vector<VersionNode> children;

    const VersionNode* Child(std::u16string_view childKey) const;
};

struct FixedFileInfo {
    std::uint32_t signature = 0;  // 0xFEEF04BD
    std::uint32_t structVersion = 0;
    std::uint32_t fileVersionMs = 0, fileVersionLs = 0;
    std::uint32_t productVersionMs = 0, productVersionLs = 0;
    std::uint32_t fileFlagsMask = 0, fileFlags = 0;
    std::uint32_t fileOs = 0, fileType = 0, fileSubtype = 0;
    std::uint32_t fileDateMs = 0, fileDateLs = 0;
};

inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

struct VersionInfo {
    VersionNode root;  // key "VS_VERSION_INFO"
    bool hasFixed = false;
    FixedFileInfo fixed;
};

bool ParseVersionInfo(Bytes data, VersionInfo& info, std::string& error);

struct IconGroupEntry {
    int width = 0;   // 0 in the data stands for 256
    int height = 0;  // likewise
    std::uint8_t colorCount = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t bytesInRes = 0;
    std::uint16_t iconId = 0;  // name of the RT_ICON resource holding the image
};

bool ParseIconGroup(Bytes data, std::vector<IconGroupEntry>& entries, std::string& error);

// What an RT_ICON image says about itself: a DIB (BITMAPINFOHEADER, height covering the XOR
// and AND masks) or a PNG.
struct IconImage {
    bool png = false;
    int width = 0;
    int height = 0;  // of the picture, the masks' double height already halved
    int bitCount = 0;
};

bool ParseIconImage(Bytes data, IconImage& image, std::string& error);

std::string ToUtf8(std::u16string_view text);
std::string ToUtf8(const ResourceId& id);  // "#5" for ordinals, the name otherwise

}  // namespace pe
