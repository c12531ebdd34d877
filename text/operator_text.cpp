#include "operator_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

const std::array<const wchar_t*, kChannelCount> kChannelLabels = {L"1310CW", L"1310Burst",
                                                                  L"1490CW", L"1550CW"};
const wchar_t* const kMsgNoMeterPort = L"没找到待测表串口！";
const wchar_t* const kMsgOpenFailed = L"未能打开待测光功率计，请检查待测光功率计连接及是否开机!";
const wchar_t* const kStatusSearching = L"正在查找待测表…";

namespace {

// Shortest text that reads back as the same double: the level exactly as it was understood.
std::wstring FormatLevel(double level) {
    if (std::isinf(level)) return level > 0 ? L"inf" : L"-inf";
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), level);
    return {text.data(), result.ptr};  // ASCII digits, signs, '.', 'e'
}

// Five significant digits, as "%.5g" in the C locale. Not printf itself: Qt sets the user's
// locale for the whole process on Linux, and a decimal comma would sit beside the level's point.
std::wstring FormatFactor(float factor) {
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(),
                                      static_cast<double>(factor), std::chars_format::general, 5);
    return {text.data(), result.ptr};  // ASCII digits, signs, '.', 'e'
}

std::wstring Holder(const PortHolder& holder) {
    if (!holder.program.empty() && holder.pid != 0) {
        return L"被 " + holder.program + L" (" + std::to_wstring(holder.pid) + L") 占用";
    }
    if (!holder.program.empty()) return L"被 " + holder.program + L" 占用";
    if (holder.pid != 0) return L"被进程 " + std::to_wstring(holder.pid) + L" 占用";
    return L"被其他程序占用";
}

std::wstring Outcome(const PortProbe& probe) {
    switch (probe.outcome) {
        case PortOutcome::Answered:
            return L"是待测表";
        case PortOutcome::NoAnswer:
            return L"无应答";
        case PortOutcome::WrongAnswer:
            return L"应答不符";
        case PortOutcome::Busy:
            return Holder(probe.holder);
        case PortOutcome::PermissionDenied:
            return L"无权限（需加入 dialout 组）";
        case PortOutcome::LineDiscipline:
            return L"被内核驱动占用";
        case PortOutcome::Gone:
            return L"不存在或已拔出";
        case PortOutcome::OpenFailed:
            break;
    }
    return L"无法打开";
}

std::wstring OutcomeLine(const Correction& correction, const wchar_t* what) {
    std::wstring line = kChannelLabels[correction.channel];
    line += what;
    line += FormatLevel(correction.decibels) + L" dB → " + FormatFactor(correction.factor);
    return line;
}

}  // namespace

std::wstring FormatSending(int channel) {
    return std::wstring(kChannelLabels[static_cast<std::size_t>(channel)]) + L" 正在设置…";
}

std::wstring FormatOutcome(const Correction& correction, bool answered) {
    return OutcomeLine(correction, answered ? L" 设置成功 " : L" 待测表无应答 ");
}

std::wstring FormatOutcome(const Correction& correction, const ExchangeRecord& record) {
    if (!record.sent) return OutcomeLine(correction, L" 未发送 ");
    if (record.late) return OutcomeLine(correction, L" 待测表应答超时 ");
    return FormatOutcome(correction, record.answered);
}

std::wstring FormatPortProbe(const PortProbe& probe) {
    return probe.port + L" " + Outcome(probe);
}

std::wstring FormatPortState(const OpenStatus& state) {
    if (state.reason == OpenReason::Opened) return L"未见占用";
    return Outcome({L"", RefusedBecause(state.reason), state.holder});
}

std::wstring FormatSearchReport(const std::vector<PortProbe>& tried) {
    if (tried.empty()) return L"没有可探测的串口";
    // The shortest way to a meter first: what the engineer can mend at once (rights, another
    // program, a driver) before what needs a look at the cable; the line is cut at its end.
    const auto rank = [](PortOutcome outcome) {
        switch (outcome) {
            case PortOutcome::PermissionDenied:
                return 0;
            case PortOutcome::Busy:
                return 1;
            case PortOutcome::LineDiscipline:
                return 2;
            case PortOutcome::WrongAnswer:
                return 3;
            case PortOutcome::Gone:
            case PortOutcome::OpenFailed:
                return 4;
            case PortOutcome::NoAnswer:
            case PortOutcome::Answered:
                break;
        }
        return 5;
    };
    std::vector<PortProbe> ordered = tried;
    std::stable_sort(ordered.begin(), ordered.end(), [&](const PortProbe& a, const PortProbe& b) {
        return rank(a.outcome) < rank(b.outcome);
    });
    std::wstring report = L"已探测 " + std::to_wstring(tried.size()) + L" 个串口：";
    for (std::size_t i = 0; i < ordered.size(); ++i)
        report += (i == 0 ? L"" : L"，") + FormatPortProbe(ordered[i]);
    return report;
}
