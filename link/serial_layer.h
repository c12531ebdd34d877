#pragma once

// The small serial-device interface the meter link is written against. Its shape follows the
// Win32 communications API the tool was designed on (handles, purge flags, event masks), so the
// portable code in meter_port.cpp reads step by step like the Win32 original. One
// implementation per platform (serial_win32.cpp, serial_linux.cpp), chosen by CMake, plus a
// scriptable in-memory fake for tests (tests/support/fake_serial.h).
//
// Every call on a handle other than WakeEventWaits is made by one thread at a time per handle,
// except that the reply watcher's event wait runs beside the owner's Write/Read/Purge on the
// same handle (overlapped I/O allows this on Windows; the Linux layer must allow it too).
// Calls on different handles may come from different threads at once (a search probes several
// ports side by side), Open included: a layer keeps no unguarded state across handles.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "stop_token.h"

// Opaque handle of an open port. kInvalidPort means "closed" (INVALID_HANDLE_VALUE on Windows).
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPort = -1;

// PurgeComm flags, Win32 values.
inline constexpr std::uint32_t kPurgeTxAbort = 0x01;
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeTxClear = 0x04;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;
inline constexpr std::uint32_t kPurgeAll = 0x0F;
inline constexpr std::uint32_t kPurgeInput = kPurgeRxAbort | kPurgeRxClear;  // 0x0A

// Communication event mask bits, Win32 values.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvErr = 0x0080;

// Line error flags reported by ClearCommError (any non-zero value means an error was pending).
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;

struct CommTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

// The members of the line state the link changes. Everything else (parity, stop bits, flow
// control) stays inside the layer exactly as the driver reported it: GetCommState followed by
// SetCommState with these three members changed touches nothing else.
struct LineState {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t eofChar = 0;
};

struct CommStatus {
    std::uint32_t errors = 0;   // kCe* flags; cleared by the call that reports them
    std::uint32_t inQueue = 0;  // bytes waiting to be read
};

// Why a port could not be opened, as far as the platform can tell. A port refused for any of
// these reasons has not been written to and its settings are as they were.
enum class OpenReason {
    Opened,            // no failure
    Busy,              // another program has the port
    PermissionDenied,  // this user may not open the device
    LineDiscipline,    // the tty belongs to a kernel driver (PPP, SLIP, Bluetooth HCI, CAN)
    Gone,              // no such device, or it has just vanished
    Console,           // the device carries the system console: never opened
    Other,
};

// Who holds a busy port, where the system shows it: the program's name (empty when only its
// PID is known, as from a lock file) and its PID (0 when unknown). When a UUCP lock file keeps
// the port (Linux), its path and its owner's user name (or uid) too; a lock file with a PID of
// 0 names nobody (it is unreadable, not a plain file, or holds no PID a process could have). A
// stale lock names a process that has ended (its PID), left by another user where this one may
// not remove it. A tty whose exclusive mode outlived the program that set it (a pty whose host
// crashed, Linux) is held by nobody: then its path, for the command that clears the mode, and
// nothing else. Members added after the first ones carry an initializer, so that the short
// {program, pid} and {reason, holder} forms stay free of missing-initializer warnings.
struct PortHolder {
    std::wstring program;
    std::uint32_t pid = 0;
    std::wstring lockFile{};
    std::wstring lockOwner{};
    bool staleLock = false;
    std::wstring exclusiveLeftOn{};

    bool operator==(const PortHolder&) const = default;
};

// What would let this user open a device node they may not (Linux; other platforms leave it
// at None): the node's group and how the user stands to it.
enum class AccessHint {
    None,        // nothing known
    JoinGroup,   // the group may use the node, and the account is not in it
    LogInAgain,  // the account is in the group, but this login started before it was added
    AskAdmin,    // not even the group may use it (or the login has the group and is refused)
};

struct NodeAccess {
    std::wstring group;
    AccessHint hint = AccessHint::None;

    bool operator==(const NodeAccess&) const = default;
};

struct OpenStatus {
    OpenReason reason = OpenReason::Opened;
    PortHolder holder;    // for Busy
    NodeAccess access{};  // for PermissionDenied

    bool operator==(const OpenStatus&) const = default;
};

// How a WaitCommEvent call ended (Win32: at once, pending then completed, or failed).
enum class WaitOutcome {
    Immediate,  // completed at once; mask holds the events
    Completed,  // was pending and has completed (GetOverlappedResult returned); mask holds them
    Failed,     // failed without pending: woken, closed handle or transient error
    // This wait object can make no further wait: the platform lost track of its pending one
    // (Win32: waiting for its completion failed) and its record had to be put aside. The
    // watcher ends; the next send starts a new one with a fresh wait.
    Broken,
};

// One reply watcher's wait for port events: the Win32 event plus OVERLAPPED record of the
// watcher. Created by the watcher, used only on its thread, destroyed when it ends.
class IPortEventWait {
  public:
    virtual ~IPortEventWait() = default;
    // Blocks without a time limit until a port event occurs or the waits on this port are woken
    // (WakeEventWaits), which ends this and every later wait on the handle with Failed.
    // A vanished device is reported as a completed wait with mask exactly kEvErr.
    virtual WaitOutcome WaitCommEvent(std::uint32_t& mask) = 0;
    // After a finished wait: whether its completion event is signalled within timeoutMs. Layers
    // without a separate completion signal always answer true.
    virtual bool CompletionSignalled(std::uint32_t timeoutMs) = 0;
};

class ISerialLayer {
  public:
    // `stop` ends every wait of a run on this layer; it must outlive the layer.
    explicit ISerialLayer(StopToken& stop = ProcessStop()) : m_stop(stop) {}
    virtual ~ISerialLayer() = default;
    ISerialLayer(const ISerialLayer&) = delete;
    ISerialLayer& operator=(const ISerialLayer&) = delete;

    // The token the exchange, the search and the probe wait on and end their waits at.
    StopToken& Stop() const { return m_stop; }

    // Opens the port exclusively (a second opener fails). The name is a COM name on Windows
    // ("COM3"; the layer adds the device namespace prefix) and a device path on Linux. On
    // failure returns kInvalidPort and says why in `status`.
    virtual PortHandle Open(const std::wstring& name, OpenStatus& status) = 0;
    // The same, for a caller that has no use for the reason.
    PortHandle Open(const std::wstring& name);
    // Leaves the port as it was found: on Linux the line settings saved at Open are put back
    // and unsent output is discarded. Never blocks for long, whatever the device does.
    virtual void Close(PortHandle port) = 0;

    virtual bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool GetCommTimeouts(PortHandle port, CommTimeouts& timeouts) = 0;
    virtual bool SetCommTimeouts(PortHandle port, const CommTimeouts& timeouts) = 0;
    virtual bool GetCommState(PortHandle port, LineState& state) = 0;
    virtual bool SetCommState(PortHandle port, const LineState& state) = 0;
    virtual bool PurgeComm(PortHandle port, std::uint32_t flags) = 0;
    virtual bool ClearCommError(PortHandle port, CommStatus& status) = 0;

    // Blocking transfers built on the platform's asynchronous I/O: each creates its own
    // completion event, waits for completion, releases the event on every path. The result is
    // the number of bytes transferred, 0 on any failure. Write is bounded by the write time-outs
    // set with SetCommTimeouts, and by `stop`, which it asks at every step of a wait for the
    // driver (a line held by flow control): once it is stopped no further byte goes to the
    // driver and the write returns what it had written. Read is only asked for bytes already
    // queued.
    virtual std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length,
                                const StopToken& stop) = 0;
    // The same, ended by this layer's own token. (A layer that forwards to another passes its
    // own token on: the layer it forwards to may serve several tokens.)
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
        return Write(port, data, length, m_stop);
    }
    virtual std::uint32_t Read(PortHandle port, std::uint8_t* buffer, std::uint32_t length) = 0;

    // Reply watcher support.
    virtual bool SetCommMask(PortHandle port, std::uint32_t mask) = 0;
    // nullptr when the wait's event cannot be created.
    virtual std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle port) = 0;
    // Thread-safe. Ends the current and every later event wait on the port until it is closed,
    // so a watcher can be stopped and joined before its handle goes away.
    virtual void WakeEventWaits(PortHandle port) = 0;

    // Starts `body` on a new thread stored in `thread`; false when no thread could be started.
    // The default (a std::thread) serves every platform; tests override it to count watchers
    // and to refuse thread creation.
    virtual bool StartThread(std::thread& thread, std::function<void()> body);

  private:
    StopToken& m_stop;
};

// The platform's real layer (one instance for the whole process).
ISerialLayer& PlatformSerialLayer();
