#include "operator_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

const std::array<const wchar_t*, kChannelCount> kChannelLabels = {L"1310CW", L"1310Burst",
                                                                  L"1490CW", L"1550CW"};
const wchar_t* const kMsgNoMeterPort = L"没找到待测表串口！";
const wchar_t* const kMsgOpenFailed = L"未能打开待测光功率计，请检查待测光功率计连接及是否开机!";
const wchar_t* const kSearchNotice = L"正在查找待测表…";

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

// Each control character of `text` as \xNN, or as \uNNNN above U+00FF and for JSON.
std::wstring Escaped(std::wstring_view text, bool json) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        if (!IsControlCharacter(c)) {
            escaped += c;
            continue;
        }
        const auto code = static_cast<std::uint32_t>(c);
        const bool wide = json || code > 0xFF;
        escaped += wide ? L"\\u" : L"\\x";
        for (int shift = wide ? 12 : 4; shift >= 0; shift -= 4)
            escaped += L"0123456789abcdef"[(code >> shift) & 0xF];
    }
    return escaped;
}

// A path as one word of a shell command line, quoted where it has more than the characters
// that need none: the administrator pastes it as it is shown.
std::wstring ShellWord(std::wstring_view path) {
    const bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](wchar_t c) {
        return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
               std::wstring_view(L"/._-+,:@%").find(c) != std::wstring_view::npos;
    });
    if (plain) return std::wstring(path);
    std::wstring quoted = L"'";
    for (const wchar_t c : path)
        quoted += c == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, c);
    return quoted + L"'";
}

std::wstring Holder(const PortHolder& holder) {
    if (!holder.exclusiveLeftOn.empty()) {
        // The path goes as an argument of its own, so that ShellWord's quoting is all it needs.
        return L"被已结束的程序留下的独占模式挡住（TIOCEXCL；请管理员清除：sudo python3 -c "
               L"'import fcntl,os,sys,termios; fcntl.ioctl(os.open(sys.argv[1], "
               L"os.O_RDWR|os.O_NOCTTY|os.O_NONBLOCK), termios.TIOCNXCL)' " +
               ShownText(ShellWord(holder.exclusiveLeftOn)) + L"，或关闭伪终端另一端的程序）";
    }
    const std::wstring pid = std::to_wstring(holder.pid);
    if (!holder.lockFile.empty()) {
        const std::wstring file = ShownText(holder.lockFile);
        const std::wstring owner = ShownText(holder.lockOwner);
        if (holder.staleLock) {
            return L"被过期锁文件 " + file + L" 挡住（属主 " + owner + L"，其中的进程 " + pid +
                   L" 已结束，本用户无权删除；请管理员清除：sudo rm " +
                   ShownText(ShellWord(holder.lockFile)) + L"）";
        }
        if (holder.pid == 0) {
            return L"被锁文件 " + file + L" 挡住（属主 " + owner + L"，其中没有有效的进程号）";
        }
        return L"被进程 " + pid + L" 占用（锁文件 " + file + L"，属主 " + owner + L"）";
    }
    const std::wstring program = ShownText(holder.program);
    if (!program.empty() && holder.pid != 0) return L"被 " + program + L" (" + pid + L") 占用";
    if (!program.empty()) return L"被 " + program + L" 占用";
    if (holder.pid != 0) return L"被进程 " + pid + L" 占用";
    return L"被其他程序占用";
}

std::wstring Denied(const NodeAccess& access) {
    const std::wstring group = ShownText(access.group);
    switch (access.hint) {
        case AccessHint::JoinGroup:
            return L"无权限（需加入 " + group + L" 组）";
        case AccessHint::LogInAgain:
            return L"无权限（已加入 " + group + L" 组，需重新登录）";
        case AccessHint::AskAdmin:
            return L"无权限（" + group + L" 组也无权读写此设备，请管理员检查设备权限）";
        case AccessHint::None:
            break;
    }
    return L"无权限（需加入 dialout 组）";
}

std::wstring Reason(PortOutcome outcome, const PortHolder& holder, const NodeAccess& access) {
    switch (outcome) {
        case PortOutcome::Answered:
            return L"是待测表";
        case PortOutcome::NoAnswer:
            return L"无应答";
        case PortOutcome::NotSent:
            return L"探测帧发不出去（线路被流控阻塞？）";
        case PortOutcome::WrongAnswer:
            return L"应答不符";
        case PortOutcome::Busy:
            return Holder(holder);
        case PortOutcome::PermissionDenied:
            return Denied(access);
        case PortOutcome::LineDiscipline:
            return L"被内核驱动占用";
        case PortOutcome::Gone:
            return L"不存在或已拔出";
        case PortOutcome::Console:
            return L"是系统控制台，不予打开";
        case PortOutcome::OpenFailed:
            break;
    }
    return L"无法打开";
}

// The holder check ran out of time before it cleared the port.
std::wstring Unchecked(bool holderUnchecked) {
    return holderUnchecked ? L"（占用检查超时，未查完）" : L"";
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

bool IsControlCharacter(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::wstring ShownText(std::wstring_view text) {
    return Escaped(text, false);
}

std::wstring JsonEscapedControls(std::wstring_view json) {
    return Escaped(json, true);
}

std::wstring FormatProbeReason(const PortProbe& probe) {
    return Reason(probe.outcome, probe.holder, probe.access) + Unchecked(probe.holderUnchecked);
}

std::wstring FormatPortProbe(const PortProbe& probe) {
    return ShownText(probe.port) + L" " + FormatProbeReason(probe);
}

std::wstring FormatPortState(const PeekedPort& state) {
    const OpenStatus& seen = state.seen;
    const std::wstring reason = seen.reason == OpenReason::Opened
                                    ? L"未见占用"
                                    : Reason(RefusedBecause(seen.reason), seen.holder, seen.access);
    return reason + Unchecked(state.holderUnchecked);
}

std::wstring FormatOpenFailure(const std::wstring& port, const OpenStatus& status) {
    return L"“" + ShownText(port) + L"”：" +
           Reason(RefusedBecause(status.reason), status.holder, status.access);
}

std::wstring FormatNamedPortRefusal(const PortProbe& probe) {
    std::wstring reason;
    if (probe.outcome == PortOutcome::NoAnswer) {
        reason = L"对探测无应答，不是待测表，未发送任何设置" + Unchecked(probe.holderUnchecked);
    } else if (probe.outcome == PortOutcome::WrongAnswer) {
        reason = L"有应答，但不是待测表的应答，未发送任何设置" + Unchecked(probe.holderUnchecked);
    } else {
        reason = FormatProbeReason(probe);
    }
    return L"“" + ShownText(probe.port) + L"”：" + reason;
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
            case PortOutcome::NotSent:
                return 3;
            case PortOutcome::Gone:
            case PortOutcome::Console:
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
