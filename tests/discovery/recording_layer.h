#pragma once

// The platform's serial layer with the opens and pauses of a search written down, for the
// discovery tests that run on real ports (ptys on Linux, a Wine COM port on Windows).

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pass_through_layer.h"

// The platform layer, with the opens and pauses of the search written down.
class RecordingLayer : public PassThroughLayer {
  public:
    RecordingLayer() : PassThroughLayer(PlatformSerialLayer()) {}

    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        {
            const std::lock_guard lock(m_mutex);
            m_opened.push_back(name);
        }
        return PassThroughLayer::Open(name, status);
    }
    void Pause(std::uint32_t milliseconds) override {
        {
            const std::lock_guard lock(m_mutex);
            m_pauses.push_back(milliseconds);
        }
        PassThroughLayer::Pause(milliseconds);
    }

    std::vector<std::wstring> Opened() {
        const std::lock_guard lock(m_mutex);
        return m_opened;
    }
    std::vector<std::uint32_t> Pauses() {
        const std::lock_guard lock(m_mutex);
        return m_pauses;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::wstring> m_opened;
    std::vector<std::uint32_t> m_pauses;
};
