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
    RecordingLayer() : PassThroughLayer(PlatformSerialLayer(), m_stop), m_stop(*this) {}

    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        {
            const std::lock_guard lock(m_mutex);
            m_opened.push_back(name);
        }
        return PassThroughLayer::Open(name, status);
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
    // A real pause, written down first.
    class RecordingStop : public StopToken {
      public:
        explicit RecordingStop(RecordingLayer& layer) : m_layer(layer) {}
        void Pause(std::uint32_t milliseconds) const override {
            {
                const std::lock_guard lock(m_layer.m_mutex);
                m_layer.m_pauses.push_back(milliseconds);
            }
            StopToken::Pause(milliseconds);
        }

      private:
        RecordingLayer& m_layer;
    };

    std::mutex m_mutex;
    std::vector<std::wstring> m_opened;
    std::vector<std::uint32_t> m_pauses;
    RecordingStop m_stop;  // the base holds it before it is built: it is only bound there
};
