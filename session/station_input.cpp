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

// A value may hold anything but the ';' that joins tags in the log, and control characters
// (a bidirectional override too, which would turn a row around in a spreadsheet).
bool TagValueFits(const std::string& value) {
    const std::optional<std::wstring> wide = WideFromUtf8(value);
    return wide && std::none_of(wide->begin(), wide->end(),
                                [](wchar_t c) { return c == L';' || IsControlCharacter(c); });
}

bool TagKeyFits(const std::string& key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    });
}

}  // namespace

std::string Complaint(const std::string& argument, const char* problem) {
    // The argument came from outside: shown with its control characters spelt out.
    return "“" + Utf8FromWide(ShownText(WideFromBytes(argument))) + problem;
}

std::optional<int> ChannelNamed(const std::string& name) {
    for (int k = 0; k < kChannelCount; ++k) {
        const std::string label = Utf8FromWide(kChannelLabels[static_cast<std::size_t>(k)]);
        if (name == std::to_string(k) || SameIgnoringAsciiCase(name, label)) return k;
    }
    return std::nullopt;
}

// The level is taken only when the whole text is one number, read as the dialog reads it, and
// both it and its factor are finite: a script must never send a factor cut short or made up
// ("-1e999" reads as -inf dB, which no meter error calls for, and no record could hold).
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
    if (!std::isfinite(correction.decibels) || !std::isfinite(correction.factor)) {
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
        const std::size_t equals = argument.find('=');
        const std::string key = argument.substr(0, equals);
        if (equals == std::string::npos || !TagKeyFits(key) ||
            !TagValueFits(argument.substr(equals + 1))) {
            problem = Complaint(argument, kBadTag);
            return std::nullopt;
        }
        if (std::any_of(tags.begin(), tags.end(),
                        [&](const auto& tag) { return tag.first == key; })) {
            problem = Complaint(argument, kTagTwice);
            return std::nullopt;
        }
        tags.emplace_back(key, argument.substr(equals + 1));
    }
    return tags;
}
