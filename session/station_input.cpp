#include "station_input.h"

#include <algorithm>
#include <cmath>

#include "operator_text.h"
#include "station_text.h"
#include "utf8_text.h"

namespace {

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

bool TagKeyCharacter(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

// Unicode's format characters (category Cf): invisible, they make two tags that read alike
// differ (U+200B, U+FEFF), or turn a row around in a spreadsheet (the bidirectional controls).
bool IsFormatCharacter(char32_t c) {
    return c == 0xAD || (c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
           c == 0x890 || c == 0x891 || c == 0x8E2 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
           c == 0x110BD || c == 0x110CD || (c >= 0x13430 && c <= 0x1343F) ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || c == 0xE0001 ||
           (c >= 0xE0020 && c <= 0xE007F);
}

// A value may hold anything but the ';' that joins tags in the log, control characters and
// format characters.
bool TagValueCharacter(char32_t c) {
    return c != ';' && !IsFormatCharacter(c) &&
           !(c <= 0xFFFF && IsControlCharacter(static_cast<wchar_t>(c)));
}

// The code points of a wide text (on Windows UTF-16, its pairs joined).
std::vector<char32_t> CodePoints(const std::wstring& text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) - 0xDC00);
            }
        }
        points.push_back(c);
    }
    return points;
}

// A refused character as the line names it: itself when it is printable ASCII, else U+XXXX.
std::string Named(char32_t c) {
    if (c > 0x20 && c < 0x7F) return std::string(1, static_cast<char>(c));
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (char32_t rest = c; rest != 0 || hex.size() < 4; rest >>= 4)
        hex.insert(hex.begin(), kHex[rest & 0xF]);
    return "U+" + hex;
}

// Why KEY=VALUE is refused, or empty: the first character that does not fit named with its
// position (from 1, in characters), so that an invisible one or a stray ';' at the end can be
// found.
std::string TagProblem(const std::string& argument) {
    const std::optional<std::wstring> wide = WideFromUtf8(argument);
    const std::size_t equals = argument.find('=');
    if (!wide || equals == 0 || equals == std::string::npos) return Complaint(argument, kBadTag);
    bool inValue = false;
    const std::vector<char32_t> points = CodePoints(*wide);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const char32_t c = points[i];
        if (!inValue && c == '=') {
            inValue = true;
            continue;
        }
        if (inValue ? TagValueCharacter(c) : TagKeyCharacter(c)) continue;
        return Complaint(argument, kBadTagCharacter, {std::to_string(i + 1), Named(c)});
    }
    return {};
}

}  // namespace

std::optional<int> ChannelNamed(const std::string& name) {
    for (int k = 0; k < kChannelCount; ++k) {
        const std::string label = Utf8FromWide(kChannelLabels[static_cast<std::size_t>(k)]);
        if (name == std::to_string(k) || SameIgnoringAsciiCase(name, label)) return k;
    }
    return std::nullopt;
}

// The level is taken only when the whole text is one number, read as the dialog reads it, the
// level finite and its single-precision factor a normal number: a script must never send a
// factor cut short or made up ("-1e999" reads as -inf dB, which no record could hold; from
// about -380 dB down the factor is subnormal or 0, which the meter cannot correct by).
std::optional<Correction> CheckCorrection(const std::string& channel, const std::string& level,
                                          const std::string& argument,
                                          const std::vector<Correction>& earlier,
                                          std::string& problem) {
    const std::optional<int> number = ChannelNamed(channel);
    if (!number) {
        problem = Complaint(argument, kUnknownChannel);
        return std::nullopt;
    }
    const bool twice = std::any_of(earlier.begin(), earlier.end(),
                                   [&](const Correction& c) { return c.channel == *number; });
    if (twice) {
        problem = Complaint(argument, kChannelTwice);
        return std::nullopt;
    }
    const std::optional<std::wstring> text = WideFromUtf8(level);
    if (!text) {
        problem = Complaint(argument, kNotUtf8);
        return std::nullopt;
    }
    Correction correction = ReadCorrection(*text, static_cast<std::uint8_t>(*number));
    if (!correction.wholeNumber) {
        problem = Complaint(argument, kNotANumber);
        return std::nullopt;
    }
    if (!std::isfinite(correction.decibels) || !std::isnormal(correction.factor)) {
        problem = Complaint(argument, kOutOfRange);
        return std::nullopt;
    }
    return correction;
}

std::optional<Correction> CheckAssignment(const std::string& argument,
                                          const std::vector<Correction>& earlier,
                                          std::string& problem) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        problem = Complaint(argument, kNoEquals);
        return std::nullopt;
    }
    return CheckCorrection(argument.substr(0, equals), argument.substr(equals + 1), argument,
                           earlier, problem);
}

std::optional<Tags> CheckTags(const std::vector<std::string>& arguments, std::string& problem) {
    Tags tags;
    for (const std::string& argument : arguments) {
        problem = TagProblem(argument);
        if (!problem.empty()) return std::nullopt;
        const std::size_t equals = argument.find('=');
        const std::string key = argument.substr(0, equals);
        if (std::any_of(tags.begin(), tags.end(),
                        [&](const auto& tag) { return tag.first == key; })) {
            problem = Complaint(argument, kTagTwice);
            return std::nullopt;
        }
        tags.emplace_back(key, argument.substr(equals + 1));
    }
    return tags;
}
