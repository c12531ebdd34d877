#include "operator_text.h"

#include <charconv>
#include <cmath>

#include "meter_frames.h"

const std::array<const wchar_t*, kChannelCount> kChannelLabels = {L"1310CW", L"1310Burst",
                                                                  L"1490CW", L"1550CW"};
const wchar_t* const kMsgNoMeterPort = L"没找到待测表串口！";
const wchar_t* const kMsgOpenFailed = L"未能打开待测光功率计，请检查待测光功率计连接及是否开机!";
const wchar_t* const kStatusSearching = L"正在查找待测表…";

namespace {

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text)
        wide.push_back(static_cast<wchar_t>(*text));
    return wide;
}

// Shortest text that reads back as the same double: the level exactly as it was understood.
std::wstring FormatLevel(double level) {
    if (std::isinf(level)) return level > 0 ? L"inf" : L"-inf";
    char buffer[64] = {};
    const auto result = std::to_chars(buffer, buffer + sizeof buffer - 1, level);
    *result.ptr = '\0';
    return Widen(buffer);
}

// Five significant digits, as "%.5g" in the C locale. Not printf itself: Qt sets the user's
// locale for the whole process on Linux, and a decimal comma would sit beside the level's point.
std::wstring FormatFactor(float factor) {
    char buffer[64] = {};
    const auto result = std::to_chars(buffer, buffer + sizeof buffer - 1,
                                      static_cast<double>(factor), std::chars_format::general, 5);
    *result.ptr = '\0';
    return Widen(buffer);
}

}  // namespace

std::wstring FormatSending(int channel) {
    return std::wstring(kChannelLabels[static_cast<std::size_t>(channel)]) + L" 正在设置…";
}

std::wstring FormatOutcome(int channel, bool answered, const std::wstring& text) {
    const double level = ReadDecibels(text);
    std::wstring line = kChannelLabels[static_cast<std::size_t>(channel)];
    line += answered ? L" 设置成功 " : L" 待测表无应答 ";
    line += FormatLevel(level) + L" dB → " + FormatFactor(CorrectionFactor(level));
    return line;
}
