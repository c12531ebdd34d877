// The Linux port list, on fake sysfs trees and device directories built in a temp dir. The
// machine's own /sys and /dev are never used: every call passes its own roots, and the query
// that would open a device is a recorder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "enum_ports_linux.h"
#include "scoped_env.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// How a tty's `type` attribute looks.
enum class Type { Missing, Unreadable };

// A sysfs tree shaped like the kernel's: /class/tty/<name> links to the tty's own directory
// under /devices, whose `device` link (hardware-backed ttys only) points at the parent device.
class FakeSysfs {
  public:
    FakeSysfs() {
        fs::create_directories(SysfsRoot() + "/class/tty");
        fs::create_directories(DevRoot());
    }

    std::string SysfsRoot() const { return (m_root / "sys").string(); }
    std::string DevRoot() const { return (m_root / "dev").string(); }
    std::wstring DevicePath(const std::string& name) const {
        return (m_root / "dev" / name).wstring();
    }

    // A tty backed by hardware (it has a `device` link) whose `type` holds `type`.
    void AddPort(const std::string& name, const std::string& type) {
        const fs::path dir = AddTty(name, true);
        std::ofstream(dir / "type") << type;
    }
    void AddPort(const std::string& name, Type type) {
        const fs::path dir = AddTty(name, true);
        // A directory in its place: it exists, and read() fails on it.
        if (type == Type::Unreadable) fs::create_directory(dir / "type");
    }
    // A tty with no device behind it: console, virtual terminal, pty.
    void AddVirtual(const std::string& name) { AddTty(name, false); }

    // One device on the way from the machine down to a port: its directory name, the driver
    // bound to it ("bus/name", or none) and its attributes.
    struct Level {
        std::string dir;
        std::string driver;
        std::vector<std::pair<std::string, std::string>> attributes;
    };
    // A hardware tty under the chain of devices `levels`, the last one its `device`.
    void AddPortUnder(const std::string& name, const std::vector<Level>& levels) {
        fs::path parent = m_root / "sys/devices";
        for (const Level& level : levels) {
            parent /= level.dir;
            fs::create_directories(parent);
            // Levels shared by several ports are made once.
            if (!level.driver.empty() && !fs::is_symlink(parent / "driver")) {
                const fs::path bus = level.driver.substr(0, level.driver.find('/'));
                const fs::path driver = m_root / "sys/bus" / bus / "drivers" /
                                        level.driver.substr(level.driver.find('/') + 1);
                fs::create_directories(driver);
                fs::create_directory_symlink(driver, parent / "driver");
            }
            for (const auto& [attribute, value] : level.attributes)
                std::ofstream(parent / attribute) << value;
        }
        const fs::path dir = parent / "tty" / name;
        fs::create_directories(dir);
        fs::create_directory_symlink(parent, dir / "device");
        fs::create_directory_symlink(dir, m_root / "sys/class/tty" / name);
    }

    // udev's /dev/serial/<kind>/<link> to the port `name`, as udev makes it.
    void AddSerialLink(const std::string& kind, const std::string& link, const std::string& to) {
        fs::create_directories(DevRoot() + "/serial/" + kind);
        fs::create_symlink(to, DevRoot() + "/serial/" + kind + "/" + link);
    }

    void SetConsoles(const std::string& active) {
        const fs::path dir = AddTty("console", false);
        std::ofstream(dir / "active") << active;
    }

  private:
    fs::path AddTty(const std::string& name, bool hardware) {
        // Since Linux 6.5 the parent of a serial-core tty is a serial-base port device.
        const fs::path parent = m_root / "sys/devices/platform" / ("parent-" + name) / "port.0";
        const fs::path dir =
            hardware ? parent / "tty" / name : m_root / "sys/devices/virtual/tty" / name;
        fs::create_directories(dir);
        if (hardware) fs::create_directory_symlink(parent, dir / "device");
        fs::create_directory_symlink(dir, m_root / "sys/class/tty" / name);
        return dir;
    }

    const ScratchDir m_dir;
    const fs::path m_root = m_dir.Path();
};

// Stands in for the TIOCGSERIAL fallback: answers from a script and records every device asked.
struct QueryRecorder {
    std::optional<int> answer;
    std::vector<std::string> asked;

    UartTypeQuery Query() {
        return [this](const std::string& path) {
            asked.push_back(path);
            return answer;
        };
    }
};

std::vector<std::wstring> Names(const std::vector<PortInfo>& list) {
    std::vector<std::wstring> names;
    for (const PortInfo& port : list)
        names.push_back(port.name);
    return names;
}

std::vector<std::wstring> List(const FakeSysfs& sysfs, QueryRecorder& recorder) {
    std::vector<PortInfo> list;
    EnumSerialPortsFromSysfs(list, sysfs.SysfsRoot(), sysfs.DevRoot(), recorder.Query());
    return Names(list);
}

struct Entry {
    const char* name;
    enum { Virtual, WithType, NoType } kind;
    const char* type;  // WithType only
    bool listed;
};

TEST(SysfsPorts, KeepsRealPortsAndLeavesOutTheRest) {
    const std::vector<Entry> table = {
        {"ttyS0", Entry::WithType, "4\n", false},  // console (below)
        {"ttyS1", Entry::WithType, "4\n", true},   // 16550A
        {"ttyS2", Entry::WithType, "0\n", false},  // phantom legacy port, no UART
        {"ttyS3", Entry::WithType, "0", false},    // the same without the newline
        {"ttyACM0", Entry::NoType, "", true},
        {"ttyACM1", Entry::WithType, "0\n", true},  // cdc-acm's 0 says nothing
        {"ttyUSB0", Entry::NoType, "", true},
        {"ttyAMA0", Entry::WithType, "32\n", true},  // memory-mapped PL011
        {"ttymxc1", Entry::WithType, "62\n", true},
        {"rfcomm0", Entry::NoType, "", false},  // would dial a Bluetooth link
        {"ttyGS0", Entry::NoType, "", false},   // this machine's own gadget side
        {"tty", Entry::Virtual, "", false},
        {"tty0", Entry::Virtual, "", false},
        {"tty7", Entry::Virtual, "", false},
        {"ptmx", Entry::Virtual, "", false},
        {"ttyp0", Entry::Virtual, "", false},  // legacy pty
        {"ttyprintk", Entry::Virtual, "", false},
    };
    FakeSysfs sysfs;
    sysfs.SetConsoles("tty0 ttyS0\n");
    for (const Entry& entry : table) {
        switch (entry.kind) {
            case Entry::Virtual:
                sysfs.AddVirtual(entry.name);
                break;
            case Entry::WithType:
                sysfs.AddPort(entry.name, std::string(entry.type));
                break;
            case Entry::NoType:
                sysfs.AddPort(entry.name, Type::Missing);
                break;
        }
    }
    QueryRecorder recorder;
    const std::vector<std::wstring> list = List(sysfs, recorder);

    for (const Entry& entry : table) {
        const bool listed =
            std::find(list.begin(), list.end(), sysfs.DevicePath(entry.name)) != list.end();
        EXPECT_EQ(listed, entry.listed) << entry.name;
    }
    EXPECT_EQ(list.size(), 6u);
    EXPECT_THAT(recorder.asked, IsEmpty()) << "every type here is readable or not needed";
}

TEST(SysfsPorts, ListedInNaturalOrder) {
    FakeSysfs sysfs;
    for (const char* name : {"ttyS10", "ttyUSB10", "ttyS2", "ttyUSB9", "ttyAMA0", "ttyS1",
                             "ttyACM0", "ttyUSB0", "ttyS11"}) {
        sysfs.AddPort(name, "4\n");
    }
    std::vector<std::wstring> expected;
    for (const char* name : {"ttyACM0", "ttyAMA0", "ttyS1", "ttyS2", "ttyS10", "ttyS11", "ttyUSB0",
                             "ttyUSB9", "ttyUSB10"}) {
        expected.push_back(sysfs.DevicePath(name));
    }
    QueryRecorder recorder;
    EXPECT_THAT(List(sysfs, recorder), ElementsAreArray(expected));
}

TEST(SysfsPorts, NaturalOrderOfNames) {
    // Each pair in order: `first` sorts strictly before `second`.
    const std::vector<std::pair<std::string, std::string>> ordered = {
        {"ttyS2", "ttyS10"},     {"ttyS9", "ttyS10"},     {"ttyS10", "ttyS11"},
        {"ttyS1", "ttyS1x"},     {"ttyS", "ttyS0"},       {"ttyACM0", "ttyS0"},
        {"ttyS99", "ttyUSB0"},   {"ttyUSB9", "ttyUSB10"}, {"ttyS1a", "ttyS1b"},
        {"ttyS2a9", "ttyS2a10"}, {"tty1S", "ttyS"},       {"ttyS1z", "ttyS1\xE9"},
    };
    for (const auto& [first, second] : ordered) {
        EXPECT_TRUE(PortNameLess(first, second)) << first << " < " << second;
        EXPECT_FALSE(PortNameLess(second, first)) << second << " !< " << first;
    }
    for (const char* name : {"", "ttyS0", "ttyUSB10"}) {
        EXPECT_FALSE(PortNameLess(name, name)) << name;
    }
}

TEST(SysfsPorts, AppendsToTheListAndLeavesItAloneWithoutSysfs) {
    FakeSysfs sysfs;
    sysfs.AddPort("ttyUSB0", Type::Missing);
    QueryRecorder recorder;
    std::vector<PortInfo> list = {{L"earlier", L""}};
    EnumSerialPortsFromSysfs(list, sysfs.SysfsRoot(), sysfs.DevRoot(), recorder.Query());
    EXPECT_THAT(Names(list), ElementsAre(L"earlier", sysfs.DevicePath("ttyUSB0")));

    std::vector<PortInfo> untouched = {{L"earlier", L""}};
    EnumSerialPortsFromSysfs(untouched, sysfs.SysfsRoot() + "/missing", sysfs.DevRoot(),
                             recorder.Query());
    EXPECT_THAT(Names(untouched), ElementsAre(L"earlier"));
}

// Where sysfs cannot tell, a serial-core port's device is asked; only a definite "no UART"
// leaves it out.
TEST(SysfsPorts, AsksTheDeviceOnlyWhenTypeCannotBeRead) {
    struct Case {
        std::optional<int> answer;
        bool listed;
    };
    for (const Case& c : {Case{0, false}, Case{4, true}, Case{std::nullopt, true}}) {
        SCOPED_TRACE(c.answer ? std::to_string(*c.answer) : "no answer");
        FakeSysfs sysfs;
        sysfs.AddPort("ttyS5", Type::Unreadable);
        sysfs.AddPort("ttyS6", Type::Missing);  // 8250 ports are serial-core by name
        sysfs.AddPort("ttyS7", "0garbage\n");
        sysfs.AddPort("ttyAMA1", Type::Unreadable);  // serial-core: it has a `type`
        sysfs.AddPort("ttyS8", "4\n");
        sysfs.AddPort("ttyUSB0", Type::Missing);
        sysfs.AddPort("ttyACM0", Type::Unreadable);
        sysfs.AddPort("ttyS9", Type::Unreadable);
        sysfs.SetConsoles("ttyS9");

        QueryRecorder recorder;
        recorder.answer = c.answer;
        const std::vector<std::wstring> list = List(sysfs, recorder);

        // Never the console, a readable type, USB serial or cdc-acm.
        EXPECT_THAT(recorder.asked,
                    UnorderedElementsAre(sysfs.DevRoot() + "/ttyAMA1", sysfs.DevRoot() + "/ttyS5",
                                         sysfs.DevRoot() + "/ttyS6", sysfs.DevRoot() + "/ttyS7"));
        std::vector<std::wstring> expected = {sysfs.DevicePath("ttyACM0")};
        if (c.listed) expected.push_back(sysfs.DevicePath("ttyAMA1"));
        if (c.listed) {
            for (const char* name : {"ttyS5", "ttyS6", "ttyS7"}) {
                expected.push_back(sysfs.DevicePath(name));
            }
        }
        expected.push_back(sysfs.DevicePath("ttyS8"));
        expected.push_back(sysfs.DevicePath("ttyUSB0"));
        EXPECT_THAT(list, ElementsAreArray(expected));
    }
}

TEST(SysfsPorts, TheRealDeviceQueryAnswersNothingForNonSerialDevices) {
    int master = -1;
    int slave = -1;
    std::array<char, 128> slaveName{};
    ASSERT_EQ(::openpty(&master, &slave, slaveName.data(), nullptr, nullptr), 0);
    EXPECT_EQ(QueryUartType(slaveName.data()), std::nullopt) << "ptys have no TIOCGSERIAL";
    ::close(slave);
    ::close(master);

    FakeSysfs sysfs;
    const std::string plainFile = sysfs.DevRoot() + "/ttyS4";
    std::ofstream(plainFile) << "x";
    EXPECT_EQ(QueryUartType(plainFile), std::nullopt);
    EXPECT_EQ(QueryUartType(sysfs.DevRoot() + "/ttyS5"), std::nullopt);
}

// What `ports` shows of a port comes from sysfs alone: the driver bound nearest the port (the
// serial-base bus's own "port" and "ctrl" drivers passed over) and, on USB, the USB device's ids
// and product name.
TEST(SysfsPorts, DescribesTheHardwareFromSysfs) {
    using Level = FakeSysfs::Level;
    const Level usbHub{"pci0000:00/0000:00:14.0/usb1", "usb/usb", {}};
    struct Case {
        const char* name;
        std::vector<Level> levels;
        std::wstring description;
        std::vector<std::string> byPath = {};  // links, in natural order
        std::vector<std::string> byId = {};
    };
    const std::vector<Case> table = {
        {"ttyUSB0",
         {usbHub,
          {"1-2",
           "usb/usb",
           {{"idVendor", "0403\n"}, {"idProduct", "6001\n"}, {"product", "FT232R USB UART\n"}}},
          {"1-2:1.0", "usb/ftdi_sio", {}},
          {"ttyUSB0", "usb-serial/ftdi_sio", {}}},
         L"ftdi_sio 0403:6001 FT232R USB UART",
         // newer udev makes a usbv2 name beside the old one
         {"pci-0000:00:14.0-usb-0:2:1.0-port0", "pci-0000:00:14.0-usbv2-0:2:1.0-port0"},
         {"usb-FTDI_FT232R_USB_UART_A10K3Z9M-if00-port0"}},
        {"ttyACM0",
         {usbHub,
          {"1-3", "usb/usb", {{"idVendor", "2341\n"}, {"idProduct", "0043\n"}}},
          {"1-3:1.0", "usb/cdc_acm", {}}},
         L"cdc_acm 2341:0043",
         {"pci-0000:00:14.0-usb-0:3:1.0"},
         {"usb-Arduino_Uno_9563-if00"}},
        {"ttyS1",
         {{"pnp0/00:01", "pnp/serial", {}},
          {"00:01:0", "serial-base/ctrl", {}},
          {"00:01:0.0", "serial-base/port", {}}},
         L"serial"},
        {"ttyS2", {{"platform/serial8250", "platform/serial8250", {}}}, L"serial8250"},
        {"ttyAMA0", {{"platform/fe201000.serial", "", {}}}, L""},
    };
    FakeSysfs sysfs;
    for (const Case& c : table) {
        sysfs.AddPortUnder(c.name, c.levels);
        for (const std::string& link : c.byPath)
            sysfs.AddSerialLink("by-path", link, std::string("../../") + c.name);
        for (const std::string& link : c.byId)
            sysfs.AddSerialLink("by-id", link, std::string("../../") + c.name);
    }
    // Links that lead elsewhere: into /dev/serial, to a port not listed, below a port.
    sysfs.AddSerialLink("by-id", "usb-decoy-a", "../ttyS1");
    sysfs.AddSerialLink("by-id", "usb-decoy-b", "../../ttyUSB1");
    sysfs.AddSerialLink("by-path", "platform-decoy-c", "../../ttyS2/x");
    const auto linked = [&](const char* kind, const std::vector<std::string>& links) {
        std::vector<std::wstring> paths;
        for (const std::string& link : links)
            paths.push_back(fs::path(sysfs.DevRoot() + "/serial/" + kind + "/" + link).wstring());
        return paths;
    };
    QueryRecorder recorder;
    std::vector<PortInfo> list;
    EnumSerialPortsFromSysfs(list, sysfs.SysfsRoot(), sysfs.DevRoot(), recorder.Query());
    ASSERT_EQ(list.size(), table.size());
    for (const Case& c : table) {
        const auto port = std::find_if(list.begin(), list.end(), [&](const PortInfo& info) {
            return info.name == sysfs.DevicePath(c.name);
        });
        ASSERT_NE(port, list.end()) << c.name;
        EXPECT_EQ(port->description, c.description) << c.name;
        EXPECT_EQ(port->byPath, linked("by-path", c.byPath)) << c.name;
        EXPECT_EQ(port->byId, linked("by-id", c.byId)) << c.name;
    }
}

TEST(ExtraPorts, AppendedInOrderWithoutEmptyEntries) {
    struct Case {
        const char* value;
        std::vector<std::wstring> expected;
    };
    const std::vector<Case> table = {
        {nullptr, {}},
        {"", {}},
        {":::", {}},
        {"/dev/pts/7", {L"/dev/pts/7"}},
        {"/tmp/b:/tmp/a", {L"/tmp/b", L"/tmp/a"}},
        {":/tmp/a::/tmp/b:", {L"/tmp/a", L"/tmp/b"}},
        {"/tmp/a:/tmp/a", {L"/tmp/a", L"/tmp/a"}},
        {"/tmp/z\xC3\xBC\xE2\x82\xAC", {L"/tmp/z\u00FC\u20AC"}},
        {"/tmp/bad\xFFname", {L"/tmp/bad\uFFFDname"}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
        const ScopedEnv env("DRAVIK_EXTRA_PORTS", c.value);
        std::vector<PortInfo> list = {{L"/dev/ttyUSB0", L""}};
        AppendExtraPorts(list);
        std::vector<std::wstring> expected = {L"/dev/ttyUSB0"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(Names(list), expected);
    }
}

}  // namespace
