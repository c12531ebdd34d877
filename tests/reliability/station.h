#pragma once

// A test station: the real dialog logic on the platform's serial layer, with a port list given
// by the test (the machine's own serial ports stay untouched) and a view that records.

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "dravik_dlg.h"

class RecordingView : public IDravikView {
  public:
    std::wstring CorrectionText(int channel) override {
        return texts.at(static_cast<std::size_t>(channel));
    }
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
    void ShowStatus(const std::wstring& text) override { status = text; }
    void SetBusy(bool) override {}

    std::array<std::wstring, kChannelCount> texts;
    std::vector<std::wstring> messages;
    std::wstring status;
};

// A dialog whose port list is exactly `ports` (the machine's own serial ports stay untouched).
class Station {
  public:
    explicit Station(std::vector<std::wstring> ports)
        : m_ports(std::move(ports)),
          dlg(view, PlatformSerialLayer(), [this](std::vector<std::wstring>& list) {
              list.insert(list.end(), m_ports.begin(), m_ports.end());
          }) {
        dlg.OnInitDialog();
    }
    void Set(int channel, const std::wstring& text) {
        view.texts[static_cast<std::size_t>(channel)] = text;
        dlg.OnSet(channel);
    }

  private:
    std::vector<std::wstring> m_ports;

  public:
    RecordingView view;
    CDravikDlg dlg;
};
