#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "enum_ports_linux.h"
#include "port_discovery.h"
#include "system_linux.h"
#include "unique_fd_linux.h"
#include "utf8_text.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPortUnknown = PORT_UNKNOWN;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::vector<std::string> Words(std::string_view text, char separator) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) words.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

std::optional<int> ReadUartType(const std::string& path) {
    const std::optional<std::string> text = ReadAttribute(path);
    if (!text) return std::nullopt;
    const char* first = text->data();
    const char* last = first + text->size();
    int type = 0;
    const auto [end, error] = std::from_chars(first, last, type);
    if (error != std::errc() || std::any_of(end, last, [](char c) { return c != '\n'; })) {
        return std::nullopt;
    }
    return type;
}

bool HasEntry(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// rfcomm: opening one dials a Bluetooth connection. ttyGS: this machine's own USB gadget side,
// never a meter.
bool LeftOutByName(const std::string& name) {
    return name.starts_with("rfcomm") || name.starts_with("ttyGS");
}

// Legacy 8250 drivers register a fixed number of ports whether or not a UART exists; their
// `type` says which. cdc-acm reports PORT_UNKNOWN for real ports, so ttyACM is never judged,
// and neither is any port that has no `type` at all (USB serial and other non-serial-core
// drivers). The port address is no guide either: memory-mapped UARTs report 0.
bool HasUart(const std::string& name, const std::string& entry, const std::string& devicePath,
             const UartTypeQuery& queryUartType) {
    if (name.starts_with("ttyACM")) return true;
    const std::string typePath = entry + "/type";
    if (const std::optional<int> type = ReadUartType(typePath)) return *type != kPortUnknown;
    const bool serialCore =
        HasEntry(typePath) || (name.size() > 4 && name.starts_with("ttyS") &&
                               std::all_of(name.begin() + 4, name.end(), IsDigit));
    if (!serialCore) return true;
    // Only a definite "no UART" leaves a port out; a device that cannot say still gets probed.
    const std::optional<int> reported = queryUartType(devicePath);
    return !reported || *reported != kPortUnknown;
}

// The driver that serves a device: the first driver bound on the way up from it, passing over
// the serial-base bus, whose "port" and "ctrl" drivers (Linux 6.5 on) sit between every
// serial-core tty and its real driver. A driver link reads .../bus/<bus>/drivers/<name>.
std::string DriverOf(const fs::path& device, const fs::path& top) {
    for (fs::path dir = device; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
        std::error_code error;
        const fs::path target = fs::read_symlink(dir / "driver", error);
        if (error) continue;
        const fs::path bus = target.parent_path().parent_path().filename();
        if (bus != "serial-base") return target.filename().string();
    }
    return {};
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "ftdi_sio 0403:6001 FT232R USB UART": the driver and, for a port on USB, the USB device's
// vendor:product and product name, the nearest device on the way up that has them. Empty
// where sysfs says nothing.
std::string DescribeHardware(const std::string& deviceLink, const std::string& sysfsRoot) {
    std::error_code error;
    const fs::path device = fs::canonical(deviceLink, error);
    if (error) return {};
    const fs::path top = fs::canonical(sysfsRoot, error);
    if (error) return {};
    std::string description = DriverOf(device, top);
    for (fs::path dir = device; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
        const std::optional<std::string> vendor = ReadAttribute((dir / "idVendor").string());
        const std::optional<std::string> product = ReadAttribute((dir / "idProduct").string());
        if (!vendor || !product) continue;
        std::string usb = Trimmed(*vendor) + ":" + Trimmed(*product);
        if (const std::optional<std::string> name = ReadAttribute((dir / "product").string())) {
            if (!Trimmed(*name).empty()) usb += " " + Trimmed(*name);
        }
        description += (description.empty() ? "" : " ") + usb;
        break;
    }
    return description;
}

// udev's links in <devRoot>/serial/<kind>, each with the device path it leads to. udev makes
// them relative and one step ("../../ttyUSB0"); nothing is opened or followed further.
std::vector<std::pair<std::string, fs::path>> SerialLinks(const std::string& devRoot,
                                                          const char* kind) {
    std::vector<std::pair<std::string, fs::path>> links;
    const fs::path dir = fs::path(devRoot) / "serial" / kind;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::error_code notLink;
        const fs::path target = fs::read_symlink(it->path(), notLink);
        if (!notLink) links.emplace_back(it->path().string(), (dir / target).lexically_normal());
    }
    return links;
}

// The links of `links` that lead to `device`, in natural order.
std::vector<std::wstring> LinksTo(const std::vector<std::pair<std::string, fs::path>>& links,
                                  const fs::path& device) {
    std::vector<std::string> names;
    for (const auto& [name, target] : links) {
        if (target == device) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), PortNameLess);
    std::vector<std::wstring> wide;
    for (const std::string& name : names)
        wide.push_back(WideFromBytes(name));
    return wide;
}

}  // namespace

// glibc's version order compares runs of digits as numbers; kernel names carry no leading zeros,
// where it would order otherwise.
bool PortNameLess(const std::string& a, const std::string& b) {
    return ::strverscmp(a.c_str(), b.c_str()) < 0;
}

std::optional<int> QueryUartType(const std::string& devicePath) {
    const UniqueFd fd(::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return std::nullopt;
    serial_struct info{};
    if (::ioctl(fd.Get(), TIOCGSERIAL, &info) != 0) return std::nullopt;
    return info.type;
}

void EnumSerialPortsFromSysfs(std::vector<PortInfo>& list, const std::string& sysfsRoot,
                              const std::string& devRoot, const UartTypeQuery& queryUartType) {
    const std::string classDir = sysfsRoot + "/class/tty";
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr) return;
    // Read before anything may open a device: a probe frame written to the kernel console
    // would land on the system's console line.
    const std::vector<std::string> consoles = ConsoleNames(sysfsRoot);

    std::vector<std::string> names;
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == ".." || LeftOutByName(name)) continue;
        if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
        const std::string entry = classDir + "/" + name;
        // Only ttys backed by hardware have a `device` link; consoles, virtual terminals and
        // ptys do not. Judged on the tty's own entry: since Linux 6.5 its parent is a
        // serial-base port device, whose subsystem and driver say nothing about the port.
        if (!HasEntry(entry + "/device")) continue;
        if (!HasUart(name, entry, devRoot + "/" + name, queryUartType)) continue;
        names.push_back(name);
    }
    ::closedir(dir);

    std::sort(names.begin(), names.end(), PortNameLess);
    const auto byPath = SerialLinks(devRoot, "by-path");
    const auto byId = SerialLinks(devRoot, "by-id");
    for (const std::string& name : names) {
        const fs::path device = (fs::path(devRoot) / name).lexically_normal();
        list.push_back(
            {WideFromBytes(devRoot + "/" + name),
             WideFromBytes(DescribeHardware(classDir + "/" + name + "/device", sysfsRoot)),
             LinksTo(byPath, device), LinksTo(byId, device)});
    }
}

void AppendExtraPorts(std::vector<PortInfo>& list) {
    const char* value = std::getenv("DRAVIK_EXTRA_PORTS");
    if (value == nullptr) return;
    for (const std::string& path : Words(value, ':'))
        list.push_back({WideFromBytes(path), L"DRAVIK_EXTRA_PORTS"});
}

void EnumSerialPorts(std::vector<PortInfo>& list) {
    EnumSerialPortsFromSysfs(list, "/sys", "/dev", QueryUartType);
    AppendExtraPorts(list);
}
