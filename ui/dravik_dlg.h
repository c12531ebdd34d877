#pragma once

// The main dialog's own logic, free of any toolkit: port ownership, discovery on the first SET,
// the SET handler and the operator's messages. Each front end (Qt on Linux, Win32 on Windows)
// implements IDravikView and forwards the SET clicks.

#include <array>
#include <cstdint>
#include <string>

#include "meter_port.h"
#include "operator_text.h"
#include "port_discovery.h"

// What the dialog logic needs of a window.
class IDravikView {
  public:
    virtual ~IDravikView() = default;
    // Text of the channel's edit box.
    virtual std::wstring CorrectionText(int channel) = 0;
    // Modal message box, OK button only, captioned with the application's name.
    virtual void ShowMessage(const std::wstring& text) = 0;
    // The one-line status under the controls; must be visible at once, even though the window
    // is about to block.
    virtual void ShowStatus(const std::wstring& text) = 0;
    // Wait cursor on or off around the blocking work.
    virtual void SetBusy(bool busy) = 0;
};

class CDravikDlg {
  public:
    // On the platform's serial layer, port list and holder check.
    explicit CDravikDlg(IDravikView& view);
    // On a given layer, port list and holder check (tests).
    CDravikDlg(IDravikView& view, ISerialLayer& layer, PortLister lister, HolderCheck holders = {});

    // TRUE when m_port holds an open port afterwards; FALSE after a message was shown.
    bool EnsurePortOpen();
    // Copies the four edit texts into m_strCorrection.
    void UpdateData();
    // SET button of `channel` (0..3).
    void OnSet(int channel);

    std::array<std::wstring, kChannelCount> m_strCorrection;
    CMeterPort m_port;
    std::wstring m_strPortName;

  private:
    // The meter's device has gone: close the port and search afresh at the next SET.
    void ForgetPort();

    IDravikView& m_view;
    PortLister m_lister;
    HolderCheck m_holders;
};
