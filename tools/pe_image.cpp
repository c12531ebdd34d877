#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace pe {

namespace {

// Little-endian reads with bounds checks. A read past the end sets the failed flag and yields
// zeros; callers test ok() once after a group of reads.
class Reader {
  public:
    explicit Reader(Bytes data, std::size_t pos = 0) : m_data(data), m_pos(pos) {
        if (pos > data.size()) m_failed = true;
    }

    bool ok() const { return !m_failed; }
    std::size_t pos() const { return m_pos; }
    std::size_t remaining() const { return m_failed ? 0 : m_data.size() - m_pos; }

    void Seek(std::size_t pos) {
        if (pos > m_data.size()) {
            m_failed = true;
            return;
        }
        m_pos = pos;
    }
    // To the next multiple of four from the start of the data.
    void Align4() { Seek((m_pos + 3) & ~std::size_t{3}); }
    void Skip(std::size_t count) { Seek(m_pos + count); }

    std::uint8_t U8() {
        if (!Have(1)) return 0;
        return m_data[m_pos++];
    }
    std::uint16_t U16() {
        const std::uint8_t lo = U8();
        const std::uint8_t hi = U8();
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }
    std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        const std::uint32_t hi = U16();
        return lo | (hi << 16);
    }
    std::uint64_t U64() {
        const std::uint64_t lo = U32();
        const std::uint64_t hi = U32();
        return lo | (hi << 32);
    }
    Bytes Take(std::size_t count) {
        if (!Have(count)) return {};
        const Bytes part = m_data.subspan(m_pos, count);
        m_pos += count;
        return part;
    }
    // A zero-terminated UTF-16 string; the terminator must lie inside the data.
    std::u16string Sz() {
        std::u16string text;
        for (;;) {
            const std::uint16_t unit = U16();
            if (m_failed || unit == 0) return text;
            text.push_back(static_cast<char16_t>(unit));
        }
    }
    // A zero-terminated 8-bit string.
    std::string Asciiz() {
        std::string text;
        for (;;) {
            const std::uint8_t byte = U8();
            if (m_failed || byte == 0) return text;
            text.push_back(static_cast<char>(byte));
        }
    }
    // The sz_Or_Ord field of dialog templates: 0 (none), 0xFFFF and an ordinal, or a string.
    ResourceId SzOrOrd() {
        ResourceId id;
        const std::uint16_t first = U16();
        if (m_failed || first == 0) return id;
        if (first == 0xFFFF) {
            id.kind = ResourceId::Kind::Ordinal;
            id.ordinal = U16();
            return id;
        }
        id.kind = ResourceId::Kind::Name;
        id.name.push_back(static_cast<char16_t>(first));
        id.name += Sz();
        return id;
    }

  private:
    bool Have(std::size_t count) {
        if (m_failed || count > m_data.size() - m_pos) {
            m_failed = true;
            return false;
        }
        return true;
    }

    Bytes m_data;
    std::size_t m_pos = 0;
    bool m_failed = false;
};

constexpr std::size_t kDirImport = 1;
constexpr std::size_t kDirResource = 2;
constexpr std::size_t kDirDelayImport = 13;
constexpr std::size_t kMaxResources = 65536;

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

class ImageParser {
  public:
    ImageParser(Bytes file, Image& image, std::string& error)
        : m_file(file), m_image(image), m_error(error) {}

    bool Parse() {
        Reader dos(m_file);
        if (dos.U16() != 0x5A4D || !dos.ok()) return Fail("no MZ header");
        dos.Seek(0x3C);
        const std::uint32_t peOffset = dos.U32();
        Reader header(m_file, peOffset);
        if (!dos.ok() || !header.ok() || header.U32() != 0x00004550 || !header.ok())
            return Fail("no PE signature");
        m_image.machine = header.U16();
        const std::uint16_t sectionCount = header.U16();
        header.Skip(12);  // time stamp, symbol table, symbol count
        const std::uint16_t optionalSize = header.U16();
        m_image.characteristics = header.U16();
        const std::size_t optionalStart = header.pos();
        m_image.magic = header.U16();
        if (!header.ok()) return Fail("COFF header cut short");
        if (m_image.magic != kMagicPe32 && m_image.magic != kMagicPe32Plus)
            return Fail("unknown optional header magic");
        const bool plus = m_image.magic == kMagicPe32Plus;
        header.Seek(optionalStart + (plus ? 24 : 28));
        m_image.imageBase = plus ? header.U64() : header.U32();
        header.Seek(optionalStart + 68);
        m_image.subsystem = header.U16();
        header.Seek(optionalStart + (plus ? 108 : 92));
        const std::uint32_t directoryCount = header.U32();
        for (std::uint32_t i = 0; i < directoryCount && i < 16; ++i) {
            m_directories[i].rva = header.U32();
            m_directories[i].size = header.U32();
        }
        if (!header.ok() || header.pos() > optionalStart + optionalSize)
            return Fail("optional header cut short");

        header.Seek(optionalStart + optionalSize);
        for (std::uint16_t i = 0; i < sectionCount; ++i) {
            const Bytes rawName = header.Take(8);
            Section section;
            for (const std::uint8_t byte : rawName) {
                if (byte == 0) break;
                section.name.push_back(static_cast<char>(byte));
            }
            section.virtualSize = header.U32();
            section.virtualAddress = header.U32();
            section.rawSize = header.U32();
            section.rawOffset = header.U32();
            header.Skip(16);  // relocations, line numbers, their counts, characteristics
            m_image.sections.push_back(section);
        }
        if (!header.ok()) return Fail("section table cut short");

        return ParseImports() && ParseDelayImports() && ParseResources();
    }

  private:
    bool Fail(const std::string& message) {
        m_error = message;
        return false;
    }

    // File offset of `rva`, with at least one byte of the section's raw data behind it.
    bool RvaToOffset(std::uint64_t rva, std::size_t& offset) const {
        for (const Section& section : m_image.sections) {
            const std::uint64_t start = section.virtualAddress;
            if (rva < start || rva - start >= section.rawSize) continue;
            const std::uint64_t fileOffset = section.rawOffset + (rva - start);
            if (fileOffset >= m_file.size()) return false;
            offset = static_cast<std::size_t>(fileOffset);
            return true;
        }
        return false;
    }

    bool ReadNameAt(std::uint64_t rva, std::string& name) const {
        std::size_t offset = 0;
        if (!RvaToOffset(rva, offset)) return false;
        Reader reader(m_file, offset);
        name = reader.Asciiz();
        return reader.ok();
    }

    // Walks an import name table (thunks) at `rva` into `dll.functions`.
    bool ReadThunks(std::uint64_t rva, ImportedDll& dll) const {
        std::size_t offset = 0;
        if (!RvaToOffset(rva, offset)) return false;
        const bool plus = m_image.magic == kMagicPe32Plus;
        Reader thunks(m_file, offset);
        for (;;) {
            const std::uint64_t thunk = plus ? thunks.U64() : thunks.U32();
            if (!thunks.ok()) return false;
            if (thunk == 0) return true;
            const std::uint64_t ordinalFlag = plus ? (std::uint64_t{1} << 63) : 0x80000000u;
            if ((thunk & ordinalFlag) != 0) {
                dll.functions.push_back("#" + std::to_string(thunk & 0xFFFF));
                continue;
            }
            std::string function;
            // Hint (2 bytes), then the name.
            if (!ReadNameAt((thunk & 0x7FFFFFFF) + 2, function)) return false;
            dll.functions.push_back(function);
        }
    }

    bool ParseImports() {
        const DataDirectory& dir = m_directories[kDirImport];
        if (dir.rva == 0) return true;
        std::size_t offset = 0;
        if (!RvaToOffset(dir.rva, offset)) return Fail("import directory outside the file");
        Reader descriptors(m_file, offset);
        for (;;) {
            const std::uint32_t nameTable = descriptors.U32();
            descriptors.Skip(8);  // time stamp, forwarder chain
            const std::uint32_t nameRva = descriptors.U32();
            const std::uint32_t addressTable = descriptors.U32();
            if (!descriptors.ok()) return Fail("import directory cut short");
            if (nameRva == 0 && addressTable == 0) return true;
            ImportedDll dll;
            if (!ReadNameAt(nameRva, dll.name)) return Fail("import DLL name outside the file");
            if (!ReadThunks(nameTable != 0 ? nameTable : addressTable, dll))
                return Fail("import table of " + dll.name + " outside the file");
            m_image.imports.push_back(std::move(dll));
        }
    }

    bool ParseDelayImports() {
        const DataDirectory& dir = m_directories[kDirDelayImport];
        if (dir.rva == 0) return true;
        std::size_t offset = 0;
        if (!RvaToOffset(dir.rva, offset)) return Fail("delay import directory outside the file");
        Reader descriptors(m_file, offset);
        for (;;) {
            const std::uint32_t attributes = descriptors.U32();
            const std::uint32_t nameRef = descriptors.U32();
            descriptors.Skip(8);  // module handle, address table
            const std::uint32_t nameTableRef = descriptors.U32();
            descriptors.Skip(12);  // bound and unload tables, time stamp
            if (!descriptors.ok()) return Fail("delay import directory cut short");
            if (nameRef == 0) return true;
            // Old-style descriptors hold virtual addresses instead of RVAs.
            const std::uint64_t bias = (attributes & 1) != 0 ? 0 : m_image.imageBase;
            ImportedDll dll;
            dll.delayLoaded = true;
            if (nameRef < bias || !ReadNameAt(nameRef - bias, dll.name))
                return Fail("delay import DLL name outside the file");
            if (nameTableRef < bias || !ReadThunks(nameTableRef - bias, dll))
                return Fail("delay import table of " + dll.name + " outside the file");
            m_image.imports.push_back(std::move(dll));
        }
    }

    bool ReadResourceId(std::uint32_t nameField, ResourceId& id) const {
        if ((nameField & 0x80000000u) == 0) {
            id.kind = ResourceId::Kind::Ordinal;
            id.ordinal = static_cast<std::uint16_t>(nameField & 0xFFFF);
            return true;
        }
        Reader name(m_resources, nameField & 0x7FFFFFFF);
        const std::uint16_t length = name.U16();
        id.kind = ResourceId::Kind::Name;
        for (std::uint16_t i = 0; i < length; ++i)
            id.name.push_back(static_cast<char16_t>(name.U16()));
        return name.ok();
    }

    // Level 0: types, 1: names, 2: languages, whose entries point at data entries.
    bool ParseResourceDirectory(std::size_t offset, int level, Resource& path) {
        Reader dir(m_resources, offset);
        dir.Skip(12);  // characteristics, time stamp, version
        const std::uint32_t count = std::uint32_t{dir.U16()} + dir.U16();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t nameField = dir.U32();
            const std::uint32_t target = dir.U32();
            if (!dir.ok()) return Fail("resource directory cut short");
            const bool isDirectory = (target & 0x80000000u) != 0;
            if (isDirectory != (level < 2)) return Fail("resource tree is not three levels deep");
            if (level == 0) {
                path.type = ResourceId();
                if (!ReadResourceId(nameField, path.type))
                    return Fail("resource type name outside the resource section");
            } else if (level == 1) {
                path.name = ResourceId();
                if (!ReadResourceId(nameField, path.name))
                    return Fail("resource name outside the resource section");
            } else {
                path.language = static_cast<std::uint16_t>(nameField & 0xFFFF);
            }
            if (isDirectory) {
                if (!ParseResourceDirectory(target & 0x7FFFFFFF, level + 1, path)) return false;
                continue;
            }
            Reader entry(m_resources, target);
            const std::uint32_t dataRva = entry.U32();
            const std::uint32_t size = entry.U32();
            path.codePage = entry.U32();
            std::size_t dataOffset = 0;
            if (!entry.ok()) return Fail("resource data entry outside the resource section");
            if (size != 0 &&
                (!RvaToOffset(dataRva, dataOffset) || size > m_file.size() - dataOffset))
                return Fail("resource data outside the file");
            path.data = m_file.subspan(dataOffset, size);
            // Directories that share subdirectories could otherwise multiply without end.
            if (m_image.resources.size() >= kMaxResources)
                return Fail("more than " + std::to_string(kMaxResources) + " resources");
            m_image.resources.push_back(path);
        }
        return true;
    }

    bool ParseResources() {
        const DataDirectory& dir = m_directories[kDirResource];
        if (dir.rva == 0) return true;
        std::size_t offset = 0;
        if (!RvaToOffset(dir.rva, offset)) return Fail("resource directory outside the file");
        m_resources = m_file.subspan(offset);
        Resource path;
        return ParseResourceDirectory(0, 0, path);
    }

    Bytes m_file;
    Bytes m_resources;
    Image& m_image;
    std::string& m_error;
    DataDirectory m_directories[16];
};

std::size_t AlignUp4(std::size_t pos) {
    return (pos + 3) & ~std::size_t{3};
}

// One node of a VERSIONINFO tree at `pos`, children included; `data` ends where the parent
// node ends. On success `pos` is just past the node.
bool ParseVersionNode(Bytes data, std::size_t& pos, VersionNode& node, int depth) {
    if (depth > 8) return false;
    Reader reader(data, pos);
    const std::uint16_t length = reader.U16();
    const std::uint16_t valueLength = reader.U16();
    node.type = reader.U16();
    node.key = reader.Sz();
    if (!reader.ok() || length > data.size() - pos || reader.pos() > pos + length) return false;
    const std::size_t end = pos + length;
    const Bytes inside = data.first(end);
    reader = Reader(inside, std::min(AlignUp4(reader.pos()), end));
    // A text value's length counts UTF-16 units, a binary one's bytes.
    const std::size_t valueBytes = std::min<std::size_t>(
        node.type == 1 ? std::size_t{valueLength} * 2 : valueLength, reader.remaining());
    const Bytes value = reader.Take(valueBytes);
    node.value.assign(value.begin(), value.end());
    if (node.type == 1) {
        for (std::size_t i = 0; i + 1 < node.value.size(); i += 2) {
            const auto unit = static_cast<char16_t>(node.value[i] | (node.value[i + 1] << 8));
            if (unit == 0) break;
            node.text.push_back(unit);
        }
    }
    std::size_t childPos = std::min(AlignUp4(reader.pos()), end);
    while (childPos < end) {
        VersionNode child;
        if (!ParseVersionNode(inside, childPos, child, depth + 1)) return false;
        node.children.push_back(std::move(child));
        childPos = std::min(AlignUp4(childPos), end);
    }
    pos = end;
    return true;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

std::vector<const Resource*> Image::Find(std::uint16_t type, std::uint16_t name) const {
    std::vector<const Resource*> found;
    for (const Resource& resource : resources) {
        if (resource.type.IsOrdinal(type) && resource.name.IsOrdinal(name))
            found.push_back(&resource);
    }
    return found;
}

bool ParseImage(Bytes file, Image& image, std::string& error) {
    image = Image();
    ImageParser parser(file, image, error);
    return parser.Parse();
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    bytes.clear();
    std::uint8_t buffer[65536];
    for (;;) {
        const std::size_t count = std::fread(buffer, 1, sizeof buffer, file.get());
        bytes.insert(bytes.end(), buffer, buffer + count);
        if (count < sizeof buffer) break;
    }
    if (std::ferror(file.get()) != 0) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool ParseDialogEx(Bytes data, DialogTemplate& dialog, std::string& error) {
    dialog = DialogTemplate();
    Reader reader(data);
    const std::uint16_t version = reader.U16();
    const std::uint16_t signature = reader.U16();
    if (!reader.ok() || version != 1 || signature != 0xFFFF) {
        error = "not an extended dialog template";
        return false;
    }
    dialog.helpId = reader.U32();
    dialog.exStyle = reader.U32();
    dialog.style = reader.U32();
    const std::uint16_t controlCount = reader.U16();
    dialog.x = reader.I16();
    dialog.y = reader.I16();
    dialog.cx = reader.I16();
    dialog.cy = reader.I16();
    dialog.menu = reader.SzOrOrd();
    dialog.windowClass = reader.SzOrOrd();
    dialog.caption = reader.Sz();
    constexpr std::uint32_t kDsSetFont = 0x40;
    dialog.hasFont = (dialog.style & kDsSetFont) != 0;
    if (dialog.hasFont) {
        dialog.pointSize = reader.U16();
        dialog.weight = reader.U16();
        dialog.italic = reader.U8();
        dialog.charset = reader.U8();
        dialog.typeface = reader.Sz();
    }
    for (std::uint16_t i = 0; i < controlCount && reader.ok(); ++i) {
        reader.Align4();
        DialogControl control;
        control.helpId = reader.U32();
        control.exStyle = reader.U32();
        control.style = reader.U32();
        control.x = reader.I16();
        control.y = reader.I16();
        control.cx = reader.I16();
        control.cy = reader.I16();
        control.id = reader.U32();
        control.windowClass = reader.SzOrOrd();
        control.text = reader.SzOrOrd();
        const std::uint16_t extraCount = reader.U16();
        const Bytes extra = reader.Take(extraCount);
        control.creationData.assign(extra.begin(), extra.end());
        dialog.controls.push_back(std::move(control));
    }
    if (!reader.ok()) {
        error = "dialog template cut short";
        return false;
    }
    return true;
}

bool ParseStringTable(std::uint16_t blockId, Bytes data, std::vector<StringTableEntry>& entries,
                      std::string& error) {
    entries.clear();
    if (blockId == 0) {
        error = "string table block 0 does not exist";
        return false;
    }
    Reader reader(data);
    const auto firstId = static_cast<std::uint16_t>((blockId - 1) * 16);
    for (std::uint16_t slot = 0; slot < 16; ++slot) {
        const std::uint16_t length = reader.U16();
        StringTableEntry entry;
        entry.id = static_cast<std::uint16_t>(firstId + slot);
        for (std::uint16_t i = 0; i < length; ++i)
            entry.text.push_back(static_cast<char16_t>(reader.U16()));
        if (!reader.ok()) {
            error = "string table block cut short";
            return false;
        }
        if (length != 0) entries.push_back(std::move(entry));
    }
    return true;
}

const VersionNode* VersionNode::Child(std::u16string_view childKey) const {
    for (const VersionNode& child : children) {
        if (child.key == childKey) return &child;
    }
    return nullptr;
}

bool ParseVersionInfo(Bytes data, VersionInfo& info, std::string& error) {
    info = VersionInfo();
    std::size_t pos = 0;
    if (!ParseVersionNode(data, pos, info.root, 0)) {
        error = "version resource malformed or cut short";
        return false;
    }
    if (info.root.value.size() >= 52) {
        Reader fixed(info.root.value);
        FixedFileInfo& f = info.fixed;
        f.signature = fixed.U32();
        f.structVersion = fixed.U32();
        f.fileVersionMs = fixed.U32();
        f.fileVersionLs = fixed.U32();
        f.productVersionMs = fixed.U32();
        f.productVersionLs = fixed.U32();
        f.fileFlagsMask = fixed.U32();
        f.fileFlags = fixed.U32();
        f.fileOs = fixed.U32();
        f.fileType = fixed.U32();
        f.fileSubtype = fixed.U32();
        f.fileDateMs = fixed.U32();
        f.fileDateLs = fixed.U32();
        info.hasFixed = f.signature == kFixedFileInfoSignature;
    }
    return true;
}

bool ParseIconGroup(Bytes data, std::vector<IconGroupEntry>& entries, std::string& error) {
    entries.clear();
    Reader reader(data);
    const std::uint16_t reserved = reader.U16();
    const std::uint16_t type = reader.U16();
    const std::uint16_t count = reader.U16();
    if (!reader.ok() || reserved != 0 || type != 1) {
        error = "not an icon group";
        return false;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        IconGroupEntry entry;
        const std::uint8_t width = reader.U8();
        const std::uint8_t height = reader.U8();
        entry.width = width == 0 ? 256 : width;
        entry.height = height == 0 ? 256 : height;
        entry.colorCount = reader.U8();
        reader.Skip(1);
        entry.planes = reader.U16();
        entry.bitCount = reader.U16();
        entry.bytesInRes = reader.U32();
        entry.iconId = reader.U16();
        entries.push_back(entry);
    }
    if (!reader.ok()) {
        error = "icon group cut short";
        return false;
    }
    return true;
}

bool ParseIconImage(Bytes data, IconImage& image, std::string& error) {
    image = IconImage();
    static constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Reader reader(data);
    const Bytes head = reader.Take(8);
    if (head.size() == 8 && std::equal(head.begin(), head.end(), kPngSignature)) {
        // The IHDR chunk follows: length, "IHDR", width, height (big-endian), depth, colour type.
        const Bytes ihdr = reader.Take(18);
        if (ihdr.size() != 18) {
            error = "PNG icon image cut short";
            return false;
        }
        const auto be32 = [&](std::size_t at) {
            return static_cast<int>((std::uint32_t{ihdr[at]} << 24) |
                                    (std::uint32_t{ihdr[at + 1]} << 16) |
                                    (std::uint32_t{ihdr[at + 2]} << 8) | ihdr[at + 3]);
        };
        image.png = true;
        image.width = be32(8);
        image.height = be32(12);
        // Bits per pixel from depth and colour type (grey, -, RGB, palette, grey+alpha, -, RGBA).
        static constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        const int colourType = ihdr[17];
        image.bitCount = colourType < 7 ? ihdr[16] * kChannels[colourType] : 0;
        return true;
    }
    Reader dib(data);
    const std::uint32_t headerSize = dib.U32();
    const auto width = static_cast<std::int32_t>(dib.U32());
    const auto height = static_cast<std::int32_t>(dib.U32());
    dib.Skip(2);  // planes
    const std::uint16_t bitCount = dib.U16();
    if (!dib.ok() || headerSize < 40) {
        error = "icon image is neither a DIB nor a PNG";
        return false;
    }
    image.width = width;
    image.height = height / 2;
    image.bitCount = bitCount;
    return true;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // unpaired surrogate
        }
        AppendUtf8(out, code);
    }
    return out;
}

std::string ToUtf8(const ResourceId& id) {
    switch (id.kind) {
        case ResourceId::Kind::None:
            return std::string();
        case ResourceId::Kind::Ordinal:
            return "#" + std::to_string(id.ordinal);
        case ResourceId::Kind::Name:
            return ToUtf8(id.name);
    }
    return std::string();
}

}  // namespace pe
