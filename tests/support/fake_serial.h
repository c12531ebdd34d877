#pragma once

// Scriptable in-memory serial layer for tests: ports that exist or not (and why one does not
// open), drivers that take only part of a write, failing SetupComm/SetCommState, line errors,
// scripted port events, counted pauses and a thread start that can be refused.
//
// Its stop token's pauses are recorded, not waited. So that a SendFrame polling in 5 ms steps still
// gives the reply watcher its chance, every Pause first waits (with a generous limit) until the
// fake is quiet: each running watcher thread has consumed its queued events and blocks in a wait
// again, or has ended. Tests therefore run as fast as the code allows and stay deterministic.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial_layer.h"

class FakeSerialLayer : public ISerialLayer {
  public:
    using Bytes = std::vector<std::uint8_t>;

    struct Event {
        std::uint32_t mask = 0;
        WaitOutcome outcome = WaitOutcome::Completed;
        bool completionSignalled = true;
    };

    // What one named port does. Set before the port is opened (AddPort) or between calls.
    struct PortScript {
        bool failOpen = false;
        // What a failed open reports (a missing port is Gone, one already open Busy).
        OpenStatus openFailure{OpenReason::Other, {}};
        bool failSetupComm = false;
        bool failSetCommState = false;
        bool failClearCommError = false;
        bool failSetCommMask = false;
        // A device that never stops sending: the input queue refills as fast as it is read.
        bool endlessInput = false;
        // Bytes the driver accepts on successive Write calls; once used up, writes are whole.
        std::deque<std::uint32_t> writeAccepts;
        // Called after every Write with the accepted bytes; may queue input and events (the
        // meter's answer). Runs without the fake's lock held.
        std::function<void(FakeSerialLayer&, const std::wstring& port, const Bytes& written)>
            onWrite;
    };

    // Observable state of one named port.
    struct PortState {
        PortScript script;
        bool open = false;
        int opens = 0;
        PortHandle handle = kInvalidPort;
        LineState line{9600, 7, 0};
        CommTimeouts timeouts;
        std::uint32_t inQueueSize = 0;
        std::uint32_t outQueueSize = 0;
        std::uint32_t commMask = 0;
        std::uint32_t pendingErrors = 0;
        Bytes input;
        std::vector<Bytes> writes;         // every Write call's accepted bytes
        std::vector<Bytes> attempts;       // every Write call's offered bytes
        std::vector<std::uint32_t> reads;  // sizes asked of each Read
        std::vector<std::uint32_t> purges;
        std::deque<Event> events;
        bool woken = false;
        int waitsCreated = 0;
        int blockedWaiters = 0;  // watchers blocked in WaitCommEvent right now
    };

    FakeSerialLayer() : ISerialLayer(m_stop), m_stop(*this) {}
    ~FakeSerialLayer() override;

    void AddPort(const std::wstring& name);
    void AddPort(const std::wstring& name, PortScript script);
    // Runs `change` on a port's state under the fake's lock.
    void WithPort(const std::wstring& name, const std::function<void(PortState&)>& change);
    PortState Snapshot(const std::wstring& name);

    void QueueInput(const std::wstring& name, const Bytes& bytes);
    void PushEvent(const std::wstring& name, Event event);
    void SetLineErrors(const std::wstring& name, std::uint32_t errors);

    std::vector<std::uint32_t> Pauses();
    std::vector<std::wstring> OpenLog();  // names in the order Open was called
    int ThreadsStarted();
    int ThreadsRunning();
    // Waits until every watcher thread is blocked in an empty wait or has ended.
    bool WaitQuiet();

    bool refuseThreads = false;
    bool failCreateEventWait = false;
    // Runs at the end of every Pause (the moment a real pause would have let time pass), without
    // the fake's lock held: where a test lets the meter answer or the line misbehave.
    std::function<void(std::uint32_t milliseconds)> onPause;

    // ISerialLayer
    using ISerialLayer::Open;
    PortHandle Open(const std::wstring& name, OpenStatus& status) override;
    void Close(PortHandle port) override;
    bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool GetCommTimeouts(PortHandle port, CommTimeouts& timeouts) override;
    bool SetCommTimeouts(PortHandle port, const CommTimeouts& timeouts) override;
    bool GetCommState(PortHandle port, LineState& state) override;
    bool SetCommState(PortHandle port, const LineState& state) override;
    bool PurgeComm(PortHandle port, std::uint32_t flags) override;
    bool ClearCommError(PortHandle port, CommStatus& status) override;
    using ISerialLayer::Write;
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length,
                        const StopToken& stop) override;
    std::uint32_t Read(PortHandle port, std::uint8_t* buffer, std::uint32_t length) override;
    bool SetCommMask(PortHandle port, std::uint32_t mask) override;
    std::unique_ptr<IPortEventWait> CreateEventWait(PortHandle port) override;
    void WakeEventWaits(PortHandle port) override;
    bool StartThread(std::thread& thread, std::function<void()> body) override;

  private:
    class Wait;
    // Stops as any token does (Cancel, the process's request); pauses through the fake.
    class CountedStop : public StopToken {
      public:
        explicit CountedStop(FakeSerialLayer& fake) : m_fake(fake) {}
        void Pause(std::uint32_t milliseconds) const override { m_fake.Pause(milliseconds); }

      private:
        FakeSerialLayer& m_fake;
    };
    void Pause(std::uint32_t milliseconds);
    PortState* Find(PortHandle port);  // requires m_mutex
    bool QuietLocked() const;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::wstring, PortState> m_ports;
    std::vector<std::wstring> m_openLog;
    std::vector<std::uint32_t> m_pauses;
    PortHandle m_nextHandle = 100;
    int m_threadsStarted = 0;
    int m_threadsRunning = 0;
    int m_threadsBlocked = 0;
    CountedStop m_stop;  // the base holds it before it is built: it is only bound there
};
