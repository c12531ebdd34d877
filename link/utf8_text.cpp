#include "utf8_text.h"

#include <utf8cpp/utf8.h>

#include <cstdint>
#include <iterator>

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr bool kUtf16 = sizeof(wchar_t) == 2;

bool IsLeadSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsTrailSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::wstring WideFromValidUtf8(std::string_view utf8) {
    std::wstring wide;
    if constexpr (kUtf16) {
        utf8::unchecked::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(wide));
    } else {
        utf8::unchecked::utf8to32(utf8.begin(), utf8.end(), std::back_inserter(wide));
    }
    return wide;
}

// Encodes `wide`; `replace` decides what a unit that is not a character becomes (U+FFFD), or
// ends the conversion with nullopt.
std::optional<std::string> Utf8FromWideUnits(std::wstring_view wide, bool replace) {
    std::string utf8;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        auto code = static_cast<std::uint32_t>(wide[i]);
        if (kUtf16 && IsLeadSurrogate(code) && i + 1 < wide.size() &&
            IsTrailSurrogate(static_cast<std::uint32_t>(wide[i + 1]))) {
            code = 0x10000 + ((code - 0xD800) << 10) +
                   (static_cast<std::uint32_t>(wide[i + 1]) - 0xDC00);
            ++i;
        }
        if (code > 0x10FFFF || IsLeadSurrogate(code) || IsTrailSurrogate(code)) {
            if (!replace) return std::nullopt;
            code = kReplacement;
        }
        utf8::append(code, std::back_inserter(utf8));
    }
    return utf8;
}

}  // namespace

std::optional<std::wstring> WideFromUtf8(std::string_view utf8) {
    if (!utf8::is_valid(utf8.begin(), utf8.end())) return std::nullopt;
    return WideFromValidUtf8(utf8);
}

std::wstring WideFromBytes(std::string_view bytes) {
    std::string valid;
    utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(valid), kReplacement);
    return WideFromValidUtf8(valid);
}

std::string Utf8FromWide(std::wstring_view wide) {
    return *Utf8FromWideUnits(wide, true);
}

std::optional<std::string> PortPathBytes(const std::wstring& name) {
    if (name.find(L'\0') != std::wstring::npos) return std::nullopt;
    return Utf8FromWideUnits(name, false);
}
