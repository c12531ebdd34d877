#pragma once

// A serial layer that forwards every call to another one: with a stop token of its own (a
// library session's, on the process's one platform layer), or with the other's. A test that
// records the calls it observes derives from it and overrides only those.

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "serial_layer.h"

class PassThroughLayer : public ISerialLayer {
  public:
    explicit PassThroughLayer(ISerialLayer& inner) : PassThroughLayer(inner, inner.Stop()) {}
    PassThroughLayer(ISerialLayer& inner, StopToken& stop) : ISerialLayer(stop), m_inner(inner) {}

    using ISerialLayer::Open;
    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        return m_inner.Open(name, status);
    }
    void Close(PortHandle port) override { m_inner.Close(port); }
    bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        return m_inner.SetupComm(port, inQueue, outQueue);
    }
    bool GetCommTimeouts(PortHandle port, CommTimeouts& timeouts) override {
        return m_inner.GetCommTimeouts(port, timeouts);
    }
    bool SetCommTimeouts(PortHandle port, const CommTimeouts& timeouts) override {
        return m_inner.SetCommTimeouts(port, timeouts);
    }
    bool GetCommState(PortHandle port, LineState& state) override {
        return m_inner.GetCommState(port, state);
    }
    bool SetCommState(PortHandle port, const LineState& state) override {
        return m_inner.SetCommState(port, state);
    }
    bool PurgeComm(PortHandle port, std::uint32_t flags) override {
        return m_inner.PurgeComm(port, flags);
    }
    bool ClearCommError(PortHandle port, CommStatus& status) override {
        return m_inner.ClearCommError(port, status);
    }
    using ISerialLayer::Write;
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length,
                        const StopToken& stop) override {
        return m_inner.Write(port, data, length, stop);
    }
    std::uint32_t Read(PortHandle port, std::uint8_t* buffer, std::uint32_t length) override {
        return m_inner.Read(port, buffer, length);
    }
    bool SetCommMask(PortHandle port, std::uint32_t mask) override {
        return m_inner.SetCommMask(port, mask);
    }
    std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle port) override {
        return m_inner.CreateEventWait(port);
    }
    void WakeEventWaits(PortHandle port) override { m_inner.WakeEventWaits(port); }
    bool StartThread(std::thread& thread, std::function<void()> body) override {
        return m_inner.StartThread(thread, std::move(body));
    }

  private:
    ISerialLayer& m_inner;
};
