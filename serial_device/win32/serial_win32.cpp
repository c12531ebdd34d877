// The Win32 serial layer: COM devices opened for overlapped I/O, each transfer and each port-event
// wait with its own completion event, seen by the link as blocking calls.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "serial_layer.h"

namespace {

// How long an abandoned port-event wait is given to finish once it has been told to. Windows'
// serial drivers finish it at once; the bound only matters for a driver that ignores both
// requests, and keeps the owner's join from hanging on it.
constexpr DWORD kAbandonTimeoutMs = 1000;

constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

// Why CreateFile refused a COM port. A port another program has open is refused with "access
// denied": COM ports are opened without sharing, and this user's rights are not what is asked.
OpenReason OpenFailure(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OpenReason::Busy;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OpenReason::Gone;
        default:
            return OpenReason::Other;
    }
}

HANDLE ToHandle(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

PortHandle ToPort(HANDLE handle) {
    return reinterpret_cast<PortHandle>(handle);
}

// An unnamed, manual-reset event, created non-signalled and closed with its owner.
class Event {
  public:
    Event() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (m_handle != nullptr) CloseHandle(m_handle);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const { return m_handle != nullptr; }
    HANDLE Get() const { return m_handle; }
    bool Signalled(DWORD timeoutMs) const {
        return WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0;
    }

  private:
    HANDLE m_handle;
};

// A port-event wait's kernel-facing record. WaitCommEvent completes into the OVERLAPPED and the
// mask asynchronously, so they live on the heap together and are freed only once the operation
// is known to have finished.
struct EventWaitRecord {
    Event done;
    OVERLAPPED overlapped{};
    DWORD mask = 0;
    // Records abandoned on the same port (see PortEventWaits).
    std::unique_ptr<EventWaitRecord> next;
};

// Per open handle: the wake signal of WakeEventWaits, and the records of waits that could not be
// ended before their watcher left.
class PortEventWaits {
  public:
    PortEventWaits() = default;
    PortEventWaits(const PortEventWaits&) = delete;
    PortEventWaits& operator=(const PortEventWaits&) = delete;

    // Runs once the handle is closed and no wait uses it any more. Windows cancels the I/O
    // still pending on a handle when it is closed, so abandoned records normally finish now. One
    // that still has not is never freed: a few bytes kept for the rest of the run are better than
    // the kernel writing into released memory.
    ~PortEventWaits() {
        std::unique_ptr<EventWaitRecord> record = std::move(m_abandoned);
        while (record) {
            std::unique_ptr<EventWaitRecord> next = std::move(record->next);
            if (!record->done.Signalled(kAbandonTimeoutMs)) static_cast<void>(record.release());
            record = std::move(next);
        }
    }

    bool Valid() const { return m_wake.Valid(); }
    // Never reset: once woken, every later wait on the handle fails until the handle is closed.
    void Wake() { SetEvent(m_wake.Get()); }
    bool Woken() const { return m_wake.Signalled(0); }
    HANDLE WakeEvent() const { return m_wake.Get(); }

    // Takes a record whose operation may still complete. Linking does not allocate, so the
    // record cannot be lost (and freed) on the way.
    void Adopt(std::unique_ptr<EventWaitRecord> record) {
        const std::lock_guard lock(m_mutex);
        record->next = std::move(m_abandoned);
        m_abandoned = std::move(record);
    }

  private:
    Event m_wake;
    std::mutex m_mutex;
    std::unique_ptr<EventWaitRecord> m_abandoned;
};

class Win32EventWait final : public IPortEventWait {
  public:
    Win32EventWait(HANDLE port, std::shared_ptr<PortEventWaits> waits,
                   std::unique_ptr<EventWaitRecord> record)
        : m_port(port), m_waits(std::move(waits)), m_record(std::move(record)) {}

    // m_record is handed away only when a pending wait could not be seen to finish; every later
    // call stays away from it.
    WaitOutcome WaitCommEvent(std::uint32_t& mask) override {
        if (m_waits->Woken()) return WaitOutcome::Failed;
        if (!m_record) return WaitOutcome::Broken;
        EventWaitRecord& record = *m_record;
        // A fresh OVERLAPPED per operation; starting the operation resets the completion event.
        record.overlapped = OVERLAPPED{};
        record.overlapped.hEvent = record.done.Get();
        record.mask = 0;
        if (::WaitCommEvent(m_port, &record.mask, &record.overlapped)) {
            mask = record.mask;
            return WaitOutcome::Immediate;
        }
        if (GetLastError() != ERROR_IO_PENDING) return WaitOutcome::Failed;

        // Waiting on the wake event beside the completion lets the owner stop this wait without
        // closing the handle under it.
        const HANDLE events[] = {record.done.Get(), m_waits->WakeEvent()};
        const DWORD signalled = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (signalled == WAIT_OBJECT_0 + 1) return Abandon();
        // A wait that failed outright says nothing about the pending operation, which may still
        // complete into the record: it is ended as on a wake, and this wait object retires.
        if (signalled != WAIT_OBJECT_0) {
            Abandon();
            m_record.reset();  // finished by now, or already handed to the port's PortEventWaits
            return WaitOutcome::Broken;
        }
        DWORD transferred = 0;
        GetOverlappedResult(m_port, &record.overlapped, &transferred, TRUE);
        mask = record.mask;
        return WaitOutcome::Completed;
    }

    bool CompletionSignalled(std::uint32_t timeoutMs) override {
        return m_record->done.Signalled(timeoutMs);
    }

  private:
    // Ends a pending wait that the owner has woken. SetCommMask is documented to complete a
    // pending WaitCommEvent (with mask 0), and Wine 8 does so at once; there it is the only way:
    // CancelIoEx fails and closing the handle leaves the wait pending. CancelIoEx cancels just
    // this operation, leaving the owner's reads and writes on the handle alone, for drivers that
    // do not honour the mask change. A record whose operation has still not finished within the
    // bound must not be freed with this wait: it goes to the port's PortEventWaits, which lives
    // until the owner has closed the handle.
    WaitOutcome Abandon() {
        ::SetCommMask(m_port, 0);
        CancelIoEx(m_port, &m_record->overlapped);
        if (!m_record->done.Signalled(kAbandonTimeoutMs)) m_waits->Adopt(std::move(m_record));
        return WaitOutcome::Failed;
    }

    HANDLE m_port;
    std::shared_ptr<PortEventWaits> m_waits;
    std::unique_ptr<EventWaitRecord> m_record;
};

// How long a pending write waits before it asks its stop again.
constexpr DWORD kStopCheckMs = 20;

// One overlapped ReadFile or WriteFile, finished before it returns: the OVERLAPPED and the event
// never outlive the call, and the event is closed on every path. A pending transfer that
// `stop` stops is cancelled; what it had moved by then is its result.
template <typename Start>
std::uint32_t Transfer(HANDLE port, Start start, const StopToken* stop) {
    const Event done;
    if (!done.Valid()) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.Get();
    DWORD count = 0;
    if (start(&overlapped, &count)) return count;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (stop != nullptr) {
        while (!done.Signalled(kStopCheckMs)) {
            if (stop->Requested() == 0) continue;
            CancelIoEx(port, &overlapped);
            break;
        }
    }
    // Waited for also after a cancel: the OVERLAPPED is the driver's until it completes.
    if (!GetOverlappedResult(port, &overlapped, &count, TRUE)) {
        return GetLastError() == ERROR_OPERATION_ABORTED ? count : 0;
    }
    return count;
}

class Win32SerialLayer final : public ISerialLayer {
  public:
    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        status = {};
        const std::wstring path =
            name.starts_with(kDevicePrefix) ? name : std::wstring(kDevicePrefix) + name;
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        const PortHandle port = ToPort(handle);
        if (port == kInvalidPort) {
            status.reason = OpenFailure(GetLastError());
            return kInvalidPort;
        }
        // A port whose watcher could not be woken could not be closed safely either, so failing
        // to set up its PortEventWaits fails the open.
        try {
            auto waits = std::make_shared<PortEventWaits>();
            if (waits->Valid()) {
                const std::lock_guard lock(m_mutex);
                m_ports.insert_or_assign(handle, std::move(waits));
                return port;
            }
        } catch (const std::bad_alloc&) {
        }
        CloseHandle(handle);
        status.reason = OpenReason::Other;
        return kInvalidPort;
    }

    void Close(PortHandle port) override {
        std::shared_ptr<PortEventWaits> waits = Take(port);
        CloseHandle(ToHandle(port));
        // Released only after the handle is closed: on Windows that cancels a wait still pending
        // on it, so the PortEventWaits can free the records of abandoned waits.
        waits.reset();
    }

    bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        return ::SetupComm(ToHandle(port), inQueue, outQueue) != FALSE;
    }

    bool GetCommTimeouts(PortHandle port, CommTimeouts& timeouts) override {
        COMMTIMEOUTS current{};
        if (!::GetCommTimeouts(ToHandle(port), &current)) return false;
        timeouts.readIntervalTimeout = current.ReadIntervalTimeout;
        timeouts.readTotalTimeoutMultiplier = current.ReadTotalTimeoutMultiplier;
        timeouts.readTotalTimeoutConstant = current.ReadTotalTimeoutConstant;
        timeouts.writeTotalTimeoutMultiplier = current.WriteTotalTimeoutMultiplier;
        timeouts.writeTotalTimeoutConstant = current.WriteTotalTimeoutConstant;
        return true;
    }

    bool SetCommTimeouts(PortHandle port, const CommTimeouts& timeouts) override {
        COMMTIMEOUTS wanted{};
        wanted.ReadIntervalTimeout = timeouts.readIntervalTimeout;
        wanted.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
        wanted.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
        wanted.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
        wanted.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
        return ::SetCommTimeouts(ToHandle(port), &wanted) != FALSE;
    }

    bool GetCommState(PortHandle port, LineState& state) override {
        DCB dcb{};
        if (!ReadDcb(port, dcb)) return false;
        state.baudRate = dcb.BaudRate;
        state.byteSize = dcb.ByteSize;
        state.eofChar = static_cast<std::uint8_t>(dcb.EofChar);
        return true;
    }

    // The driver's current DCB with the three members changed, so parity, stop bits, flow
    // control and everything else stay exactly as the driver reports them.
    bool SetCommState(PortHandle port, const LineState& state) override {
        DCB dcb{};
        if (!ReadDcb(port, dcb)) return false;
        dcb.BaudRate = state.baudRate;
        dcb.ByteSize = state.byteSize;
        dcb.EofChar = static_cast<char>(state.eofChar);
        return ::SetCommState(ToHandle(port), &dcb) != FALSE;
    }

    bool PurgeComm(PortHandle port, std::uint32_t flags) override {
        return ::PurgeComm(ToHandle(port), flags) != FALSE;
    }

    bool ClearCommError(PortHandle port, CommStatus& status) override {
        DWORD errors = 0;
        COMSTAT comStat{};
        if (!::ClearCommError(ToHandle(port), &errors, &comStat)) return false;
        status.errors = errors;
        status.inQueue = comStat.cbInQue;
        return true;
    }

    using ISerialLayer::Write;
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length,
                        const StopToken& stop) override {
        const HANDLE handle = ToHandle(port);
        return Transfer(
            handle,
            [&](OVERLAPPED* overlapped, DWORD* count) {
                return WriteFile(handle, data, length, count, overlapped) != FALSE;
            },
            &stop);
    }

    std::uint32_t Read(PortHandle port, std::uint8_t* buffer, std::uint32_t length) override {
        const HANDLE handle = ToHandle(port);
        return Transfer(
            handle,
            [&](OVERLAPPED* overlapped, DWORD* count) {
                return ReadFile(handle, buffer, length, count, overlapped) != FALSE;
            },
            nullptr);
    }

    bool SetCommMask(PortHandle port, std::uint32_t mask) override {
        return ::SetCommMask(ToHandle(port), mask) != FALSE;
    }

    // A handle this layer did not open has no wake signal; no wait is made on it, as nothing
    // could end one short of closing the handle.
    std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle port) override {
        try {
            std::shared_ptr<PortEventWaits> waits = Find(port);
            auto record = std::make_unique<EventWaitRecord>();
            if (!waits || !record->done.Valid()) return nullptr;
            return std::make_unique<Win32EventWait>(ToHandle(port), std::move(waits),
                                                    std::move(record));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    void WakeEventWaits(PortHandle port) override {
        if (const std::shared_ptr<PortEventWaits> waits = Find(port)) waits->Wake();
    }

  private:
    static bool ReadDcb(PortHandle port, DCB& dcb) {
        dcb = DCB{};
        dcb.DCBlength = static_cast<DWORD>(sizeof(DCB));
        return ::GetCommState(ToHandle(port), &dcb) != FALSE;
    }

    std::shared_ptr<PortEventWaits> Find(PortHandle port) {
        const std::lock_guard lock(m_mutex);
        const auto it = m_ports.find(ToHandle(port));
        return it != m_ports.end() ? it->second : nullptr;
    }

    std::shared_ptr<PortEventWaits> Take(PortHandle port) {
        const std::lock_guard lock(m_mutex);
        const auto it = m_ports.find(ToHandle(port));
        if (it == m_ports.end()) return nullptr;
        std::shared_ptr<PortEventWaits> waits = std::move(it->second);
        m_ports.erase(it);
        return waits;
    }

    std::mutex m_mutex;
    std::map<HANDLE, std::shared_ptr<PortEventWaits>> m_ports;
};

}  // namespace

ISerialLayer& PlatformSerialLayer() {
    static Win32SerialLayer layer;
    return layer;
}
