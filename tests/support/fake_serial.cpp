#include "fake_serial.h"

#include <algorithm>
#include <chrono>

namespace {
constexpr auto kQuietLimit = std::chrono::seconds(10);
}

class FakeSerialLayer::Wait : public IPortEventWait {
  public:
    Wait(FakeSerialLayer& layer, PortHandle handle) : m_layer(layer), m_handle(handle) {}

    WaitOutcome WaitCommEvent(std::uint32_t& mask) override {
        std::unique_lock lock(m_layer.m_mutex);
        PortState* port = m_layer.Find(m_handle);
        if (port == nullptr) return WaitOutcome::Failed;
        while (port->events.empty() && !port->woken && port->handle == m_handle) {
            ++m_layer.m_threadsBlocked;
            ++port->blockedWaiters;
            m_layer.m_changed.notify_all();
            m_layer.m_changed.wait(lock);
            --m_layer.m_threadsBlocked;
            --port->blockedWaiters;
        }
        if (port->woken || port->handle != m_handle) return WaitOutcome::Failed;
        const Event event = port->events.front();
        port->events.pop_front();
        m_layer.m_changed.notify_all();
        mask = event.mask;
        m_completionSignalled = event.completionSignalled;
        return event.outcome;
    }

    bool CompletionSignalled(std::uint32_t /*timeoutMs*/) override { return m_completionSignalled; }

  private:
    FakeSerialLayer& m_layer;
    PortHandle m_handle;
    bool m_completionSignalled = true;
};

FakeSerialLayer::~FakeSerialLayer() = default;

FakeSerialLayer::PortState* FakeSerialLayer::Find(PortHandle port) {
    for (auto& [name, state] : m_ports) {
        if (state.open && state.handle == port) return &state;
    }
    return nullptr;
}

void FakeSerialLayer::AddPort(const std::wstring& name) {
    AddPort(name, PortScript());
}

void FakeSerialLayer::AddPort(const std::wstring& name, PortScript script) {
    std::lock_guard lock(m_mutex);
    m_ports[name].script = std::move(script);
}

void FakeSerialLayer::WithPort(const std::wstring& name,
                               const std::function<void(PortState&)>& change) {
    std::lock_guard lock(m_mutex);
    change(m_ports[name]);
    m_changed.notify_all();
}

FakeSerialLayer::PortState FakeSerialLayer::Snapshot(const std::wstring& name) {
    std::lock_guard lock(m_mutex);
    return m_ports[name];
}

void FakeSerialLayer::QueueInput(const std::wstring& name, const Bytes& bytes) {
    WithPort(name, [&](PortState& port) {
        port.input.insert(port.input.end(), bytes.begin(), bytes.end());
    });
}

void FakeSerialLayer::PushEvent(const std::wstring& name, Event event) {
    WithPort(name, [&](PortState& port) { port.events.push_back(event); });
}

void FakeSerialLayer::SetLineErrors(const std::wstring& name, std::uint32_t errors) {
    WithPort(name, [&](PortState& port) { port.pendingErrors |= errors; });
}

std::vector<std::uint32_t> FakeSerialLayer::Pauses() {
    std::lock_guard lock(m_mutex);
    return m_pauses;
}

std::vector<std::wstring> FakeSerialLayer::OpenLog() {
    std::lock_guard lock(m_mutex);
    return m_openLog;
}

int FakeSerialLayer::ThreadsStarted() {
    std::lock_guard lock(m_mutex);
    return m_threadsStarted;
}

int FakeSerialLayer::ThreadsRunning() {
    std::lock_guard lock(m_mutex);
    return m_threadsRunning;
}

bool FakeSerialLayer::QuietLocked() const {
    if (m_threadsRunning != m_threadsBlocked) return false;
    for (const auto& [name, port] : m_ports) {
        if (port.blockedWaiters > 0 && (!port.events.empty() || port.woken)) {
            return false;
        }
    }
    return true;
}

bool FakeSerialLayer::WaitQuiet() {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kQuietLimit, [this] { return QuietLocked(); });
}

PortHandle FakeSerialLayer::Open(const std::wstring& name, OpenStatus& status) {
    std::lock_guard lock(m_mutex);
    m_openLog.push_back(name);
    const auto it = m_ports.find(name);
    status = {};
    if (it == m_ports.end())
        status.reason = OpenReason::Gone;
    else if (it->second.script.failOpen)
        status = it->second.script.openFailure;
    else if (it->second.open)
        status.reason = OpenReason::Busy;
    if (status.reason != OpenReason::Opened) return kInvalidPort;
    PortState& port = it->second;
    port.open = true;
    ++port.opens;
    port.handle = m_nextHandle++;
    port.woken = false;
    port.events.clear();
    return port.handle;
}

void FakeSerialLayer::Close(PortHandle handle) {
    std::lock_guard lock(m_mutex);
    if (PortState* port = Find(handle)) {
        port->open = false;
        port->handle = kInvalidPort;
        port->events.clear();
        port->woken = false;
    }
    m_changed.notify_all();
}

bool FakeSerialLayer::SetupComm(PortHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr || port->script.failSetupComm) return false;
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return true;
}

bool FakeSerialLayer::GetCommTimeouts(PortHandle handle, CommTimeouts& timeouts) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr) return false;
    timeouts = port->timeouts;
    return true;
}

bool FakeSerialLayer::SetCommTimeouts(PortHandle handle, const CommTimeouts& timeouts) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr) return false;
    port->timeouts = timeouts;
    return true;
}

bool FakeSerialLayer::GetCommState(PortHandle handle, LineState& state) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr) return false;
    state = port->line;
    return true;
}

bool FakeSerialLayer::SetCommState(PortHandle handle, const LineState& state) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr || port->script.failSetCommState) return false;
    port->line = state;
    return true;
}

bool FakeSerialLayer::PurgeComm(PortHandle handle, std::uint32_t flags) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr) return false;
    port->purges.push_back(flags);
    if ((flags & kPurgeRxClear) != 0) port->input.clear();
    return true;
}

bool FakeSerialLayer::ClearCommError(PortHandle handle, CommStatus& status) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr || port->script.failClearCommError) return false;
    status.errors = port->pendingErrors;
    port->pendingErrors = 0;
    if (port->script.endlessInput && port->input.size() < 100) port->input.resize(100, 0x55);
    status.inQueue = static_cast<std::uint32_t>(port->input.size());
    return true;
}

std::uint32_t FakeSerialLayer::Write(PortHandle handle, const std::uint8_t* data,
                                     std::uint32_t length, const StopToken& /*stop*/) {
    std::function<void(FakeSerialLayer&, const std::wstring&, const Bytes&)> onWrite;
    std::wstring name;
    Bytes accepted;
    {
        std::lock_guard lock(m_mutex);
        PortState* port = Find(handle);
        if (port == nullptr) return 0;
        port->attempts.emplace_back(data, data + length);
        std::uint32_t take = length;
        if (!port->script.writeAccepts.empty()) {
            take = std::min(take, port->script.writeAccepts.front());
            port->script.writeAccepts.pop_front();
        }
        accepted.assign(data, data + take);
        port->writes.push_back(accepted);
        onWrite = port->script.onWrite;
        for (const auto& [portName, state] : m_ports) {
            if (&state == port) name = portName;
        }
    }
    if (onWrite) onWrite(*this, name, accepted);
    return static_cast<std::uint32_t>(accepted.size());
}

std::uint32_t FakeSerialLayer::Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t length) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr) return 0;
    port->reads.push_back(length);
    const auto count = std::min<std::size_t>(length, port->input.size());
    std::copy_n(port->input.begin(), count, buffer);
    port->input.erase(port->input.begin(),
                      port->input.begin() + static_cast<std::ptrdiff_t>(count));
    return static_cast<std::uint32_t>(count);
}

bool FakeSerialLayer::SetCommMask(PortHandle handle, std::uint32_t mask) {
    std::lock_guard lock(m_mutex);
    PortState* port = Find(handle);
    if (port == nullptr || port->script.failSetCommMask) return false;
    // A new mask starts from no pending events, as on Windows.
    port->commMask = mask;
    port->events.clear();
    return true;
}

std::unique_ptr<IPortEventWait> FakeSerialLayer::CreateEventWait(PortHandle handle) {
    std::lock_guard lock(m_mutex);
    if (failCreateEventWait) return nullptr;
    if (PortState* port = Find(handle)) ++port->waitsCreated;
    return std::make_unique<Wait>(*this, handle);
}

void FakeSerialLayer::WakeEventWaits(PortHandle handle) {
    std::lock_guard lock(m_mutex);
    if (PortState* port = Find(handle)) port->woken = true;
    m_changed.notify_all();
}

void FakeSerialLayer::Pause(std::uint32_t milliseconds) {
    {
        std::lock_guard lock(m_mutex);
        m_pauses.push_back(milliseconds);
    }
    WaitQuiet();
    if (onPause) onPause(milliseconds);
}

bool FakeSerialLayer::StartThread(std::thread& thread, std::function<void()> body) {
    {
        std::lock_guard lock(m_mutex);
        if (refuseThreads) return false;
        ++m_threadsStarted;
        ++m_threadsRunning;
    }
    const bool started = ISerialLayer::StartThread(thread, [this, body = std::move(body)] {
        body();
        std::lock_guard lock(m_mutex);
        --m_threadsRunning;
        m_changed.notify_all();
    });
    if (!started) {
        std::lock_guard lock(m_mutex);
        --m_threadsRunning;
        return false;
    }
    return true;
}
