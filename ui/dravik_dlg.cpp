#include "dravik_dlg.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "meter_frames.h"

const std::array<const wchar_t*, kChannelCount> kChannelLabels = {L"1310CW", L"1310Burst",
                                                                  L"1490CW", L"1550CW"};
const wchar_t* const kMsgNoMeterPort = L"没找到待测表串口！";
const wchar_t* const kMsgOpenFailed = L"未能打开待测光功率计，请检查待测光功率计连接及是否开机!";
const wchar_t* const kStatusSearching = L"正在查找待测表…";

namespace {

constexpr std::uint32_t kBaudRate = 19200;

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

std::wstring FormatFactor(float factor) {
    char buffer[64] = {};
    std::snprintf(buffer, sizeof buffer, "%.5g", static_cast<double>(factor));
    return Widen(buffer);
}

}  // namespace

std::wstring FormatOutcome(int channel, bool answered, const std::wstring& text) {
    const double level = ReadDecibels(text);
    std::wstring line = kChannelLabels[static_cast<std::size_t>(channel)];
    line += answered ? L" 设置成功 " : L" 待测表无应答 ";
    line += FormatLevel(level) + L" dB → " + FormatFactor(CorrectionFactor(level));
    return line;
}

CDravikDlg::CDravikDlg(IDravikView& view)
    : m_view(view), m_lister([](std::vector<std::wstring>& list) { EnumSerialPorts(list); }) {}

CDravikDlg::CDravikDlg(IDravikView& view, ISerialLayer& layer, PortLister lister)
    : m_port(layer), m_view(view), m_lister(std::move(lister)) {}

void CDravikDlg::OnInitDialog() {
    m_port.m_nBaudRate = kBaudRate;
}

bool CDravikDlg::EnsurePortOpen() {
    if (m_port.m_hComm != kInvalidPort) {
        if (m_port.IsDevicePresent()) return true;
        // Unplugged since the last SET: let the dead handle go and search again.
        ForgetPort();
    }
    if (m_strPortName.empty()) {
        m_view.ShowStatus(kStatusSearching);
        const std::wstring found = FindMeterPort(m_strExcludedPort, m_port.Layer(), m_lister);
        if (found.empty()) {
            m_view.ShowStatus(L"");
            m_view.SetBusy(false);
            m_view.ShowMessage(kMsgNoMeterPort);
            return false;
        }
        m_strPortName = found;
    }
    if (m_port.Open(m_strPortName) == kInvalidPort) {
        m_view.ShowStatus(L"");
        m_view.SetBusy(false);
        m_view.ShowMessage(kMsgOpenFailed);
        return false;
    }
    return true;
}

void CDravikDlg::ForgetPort() {
    m_port.Close();
    m_strPortName.clear();
}

void CDravikDlg::UpdateData() {
    for (int k = 0; k < kChannelCount; ++k) {
        m_strCorrection[static_cast<std::size_t>(k)] = m_view.CorrectionText(k);
    }
}

void CDravikDlg::OnSet(int channel) {
    m_view.SetBusy(true);
    if (!EnsurePortOpen()) return;
    UpdateData();
    const std::wstring text = m_strCorrection[static_cast<std::size_t>(channel)];
    const bool answered = m_port.SetCorrection(text, static_cast<std::uint8_t>(channel)) == 1;
    // Unplugged during the send: the next SET searches again instead of failing on a dead
    // handle for the rest of the run.
    if (!answered && !m_port.IsDevicePresent()) ForgetPort();
    m_view.SetBusy(false);
    m_view.ShowStatus(FormatOutcome(channel, answered, text));
}
