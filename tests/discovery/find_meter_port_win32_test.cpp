// The search on the real registry list and the real serial layer, against the simulated meter on
// a COM port. Under Wine the port is a pty mapped as COM port, which Wine then lists under
// HKLM\Hardware\DeviceMap\SerialComm like any other; DRAVIK_TEST_COM names it (e.g. COM7).
// Without it the tests are skipped.
//
// Only that port is ever probed: the search gets the registry's list with every other name taken
// out, since the others may be the machine's own ports.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meter_port.h"
#include "port_discovery.h"
#include "recording_layer.h"
#include "serial_layer.h"
#include "test_support.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Field;

class FindMeterPortOnCom : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string skipReason;
        name = TestComPort(skipReason);
        if (name.empty()) GTEST_SKIP() << skipReason;
    }

    // EnumSerialPorts' real list, with every name but the test port taken out.
    PortLister OnlyTestPort() const {
        return [this](std::vector<PortInfo>& list) {
            std::vector<PortInfo> all;
            EnumSerialPorts(all);
            for (const PortInfo& listed : all) {
                if (listed.name == name) list.push_back(listed);
            }
        };
    }

    std::wstring name;
};

TEST_F(FindMeterPortOnCom, RegistryListsTheMappedPort) {
    std::vector<PortInfo> list;
    EnumSerialPorts(list);
    EXPECT_THAT(list, Contains(Field(&PortInfo::name, name)));
}

TEST_F(FindMeterPortOnCom, FindsTheMeterAndLeavesItsPortClosed) {
    RecordingLayer layer;
    EXPECT_EQ(FoundPort(ProbePorts(layer, OnlyTestPort())), name);
    EXPECT_THAT(layer.Opened(), ElementsAre(name));

    // Closed again: the dialog opens it next, by the name found.
    CMeterPort port;
    EXPECT_NE(port.Open(name), kInvalidPort);
}

}  // namespace
