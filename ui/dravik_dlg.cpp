#include "dravik_dlg.h"

#include <utility>

#include "stop_token.h"

CDravikDlg::CDravikDlg(IDravikView& view)
    : m_view(view), m_lister(EnumSerialPorts), m_holders(PlatformHolderCheck()) {}

CDravikDlg::CDravikDlg(IDravikView& view, ISerialLayer& layer, PortLister lister,
                       HolderCheck holders)
    : m_port(layer), m_view(view), m_lister(std::move(lister)), m_holders(std::move(holders)) {}

bool CDravikDlg::EnsurePortOpen() {
    if (m_port.m_hComm != kInvalidPort) {
        if (m_port.IsDevicePresent()) return true;
        // Unplugged since the last SET: let the dead handle go and search again.
        ForgetPort();
    }
    if (m_strPortName.empty()) {
        m_view.ShowStatus(kSearchNotice);
        const std::vector<PortProbe> tried =
            ProbePorts(m_port.Layer(), m_lister, ProbeScope::UpToFirstAnswer, m_holders);
        const std::wstring found = FoundPort(tried);
        // Interrupted: the dialog is about to close, with no message to wait for.
        if (m_port.Layer().Stop().Requested() != 0) {
            m_view.SetBusy(false);
            return false;
        }
        if (found.empty()) {
            // The message box stays as it always was; the status line beneath says why.
            m_view.ShowStatus(FormatSearchReport(tried));
            m_view.SetBusy(false);
            m_view.ShowMessage(kMsgNoMeterPort);
            return false;
        }
        m_strPortName = found;
    }
    if (m_port.Open(m_strPortName) == kInvalidPort) {
        // The message box stays as it always was; the status line beneath says why.
        m_view.ShowStatus(FormatOpenFailure(m_strPortName, m_port.LastOpenStatus()));
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
    // A click still queued when the run was interrupted: the dialog is closing, nothing is sent.
    if (m_port.Layer().Stop().Requested() != 0) return;
    m_view.SetBusy(true);
    if (!EnsurePortOpen()) return;
    UpdateData();
    const Correction correction = ReadCorrection(m_strCorrection[static_cast<std::size_t>(channel)],
                                                 static_cast<std::uint8_t>(channel));
    // The exchange blocks for up to 5 s: the search notice, or the last SET's outcome, must not
    // stand for this one meanwhile.
    m_view.ShowStatus(FormatSending(channel));
    const bool answered = m_port.SetCorrection(correction) == 1;
    // Unplugged during the send: the next SET searches again instead of failing on a dead
    // handle for the rest of the run.
    if (!answered && !m_port.IsDevicePresent()) ForgetPort();
    m_view.SetBusy(false);
    m_view.ShowStatus(FormatOutcome(correction, answered));
}
