// The search on the real registry list and the real serial layer, against the simulated meter on
// a COM port. Under Wine the port is a pty mapped as COM port, which Wine then lists under
// HKLM\Hardware\DeviceMap\SerialComm like any other; DRAVIK_TEST_COM names it (e.g. COM7).
// Without it the tests are skipped.
//
// Only that port is ever probed: the search gets the registry's list with every other name taken
// out, since the others may be the machine's own ports.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "meter_port.h"
#include "port_discovery.h"
#include "serial_device.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::wstring TestPortName() {
    const char* name = std::getenv("DRAVIK_TEST_COM");
    return name != nullptr ? std::wstring(name, name + std::char_traits<char>::length(name))
                           : std::wstring();
}

// The platform layer, with the names it was asked to open written down.
class OpenRecordingLayer : public ISerialLayer {
  public:
    PortHandle Open(const std::wstring& name) override {
        opened.push_back(name);
        return m_inner.Open(name);
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
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length) override {
        return m_inner.Write(port, data, length);
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
    void Pause(std::uint32_t milliseconds) override { m_inner.Pause(milliseconds); }
    bool StartThread(std::thread& thread, std::function<void()> body) override {
        return m_inner.StartThread(thread, std::move(body));
    }

    std::vector<std::wstring> opened;

  private:
    ISerialLayer& m_inner = PlatformSerialLayer();
};

class FindMeterPortOnCom : public ::testing::Test {
  protected:
    void SetUp() override {
        name = TestPortName();
        if (name.empty()) GTEST_SKIP() << "DRAVIK_TEST_COM names no test port";
        // Wine maps the machine's own serial devices to the first COM names.
        for (const wchar_t* own : {L"COM1", L"COM2", L"COM3", L"COM4"}) {
            if (name == own) GTEST_SKIP() << "refusing a port that may be the machine's own";
        }
    }

    // EnumSerialPorts' real list, with every name but the test port taken out.
    PortLister OnlyTestPort() const {
        return [this](std::vector<std::wstring>& list) {
            std::vector<std::wstring> all;
            EnumSerialPorts(all);
            for (const std::wstring& listed : all) {
                if (listed == name) list.push_back(listed);
            }
        };
    }

    std::wstring name;
};

TEST_F(FindMeterPortOnCom, RegistryListsTheMappedPort) {
    std::vector<std::wstring> list;
    EnumSerialPorts(list);
    EXPECT_THAT(list, Contains(name));
}

TEST_F(FindMeterPortOnCom, FindsTheMeterAndLeavesItsPortClosed) {
    OpenRecordingLayer layer;
    EXPECT_EQ(FindMeterPort(L"", layer, OnlyTestPort()), name);
    EXPECT_THAT(layer.opened, ElementsAre(name));

    // Closed again: the dialog opens it next, by the name found.
    CMeterPort port;
    EXPECT_NE(port.Open(name), kInvalidPort);
}

TEST_F(FindMeterPortOnCom, ExcludedPortIsNeitherOpenedNorFound) {
    std::vector<std::wstring> listed;
    OnlyTestPort()(listed);
    ASSERT_THAT(listed, ElementsAre(name));
    OpenRecordingLayer layer;
    EXPECT_EQ(FindMeterPort(name, layer, OnlyTestPort()), L"");
    EXPECT_THAT(layer.opened, IsEmpty());
}

}  // namespace
