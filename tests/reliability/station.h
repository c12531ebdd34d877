#pragma once

// A test station: the real dialog logic on the platform's serial layer, with a port list given
// by the test (the machine's own serial ports stay untouched) and a view that records.

#include <string>
#include <utility>
#include <vector>

#include "dravik_dlg.h"
#include "recording_view.h"

// A dialog whose port list is exactly `ports` (the machine's own serial ports stay untouched).
class Station {
  public:
    explicit Station(std::vector<std::wstring> ports)
        : m_ports(std::move(ports)),
          dlg(view, PlatformSerialLayer(), [this](std::vector<PortInfo>& list) {
              for (const std::wstring& port : m_ports)
                  list.push_back({port, L""});
          }) {}
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
