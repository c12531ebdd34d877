#include "port_holders_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "utf8_text.h"
#include "uucp_lock_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// A process's directory under /proc is named by its PID.
std::optional<std::uint32_t> ProcessId(const char* name) {
    const char* end = name;
    while (*end != '\0')
        ++end;
    std::uint32_t pid = 0;
    const auto [last, error] = std::from_chars(name, end, pid);
    if (error != std::errc() || last != end || pid == 0) return std::nullopt;
    return pid;
}

// The kernel's short name of a process (at most 15 bytes, from its comm file, where a long name
// may end in half a character); empty when it cannot be read.
std::wstring ProgramName(const std::string& processDir) {
    std::string name = ReadAttribute(processDir + "/comm").value_or("");
    if (name.ends_with('\n')) name.pop_back();
    return WideFromBytes(name);
}

// A port the scan looks for: its device number and the paths a descriptor's link shows for it.
struct Sought {
    std::wstring port;
    dev_t device = 0;
    std::vector<std::string> paths;
    bool found = false;
};

// The names a port goes by: its own, each link it leads through (a /dev/serial/by-id name leads
// to ../../ttyUSB0), and the node at the end.
std::vector<std::string> NamesOf(const std::string& path) {
    std::vector<std::string> names = {path};
    constexpr int kMostLinks = 8;
    for (int hop = 0; hop < kMostLinks; ++hop) {
        std::array<char, PATH_MAX> target{};
        const ssize_t length = readlink(names.back().c_str(), target.data(), target.size() - 1);
        if (length <= 0) break;
        const std::string link(target.data(), static_cast<std::size_t>(length));
        const std::string& from = names.back();
        names.push_back(link.starts_with('/') ? link : from.substr(0, from.rfind('/') + 1) + link);
    }
    std::array<char, PATH_MAX> canonical{};
    if (realpath(path.c_str(), canonical.data()) != nullptr) names.emplace_back(canonical.data());
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<Sought> Devices(const std::vector<std::wstring>& ports) {
    std::vector<Sought> sought;
    for (const std::wstring& port : ports) {
        const std::optional<std::string> path = PortPathBytes(port);
        struct stat node {};
        if (!path || stat(path->c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) continue;
        sought.push_back({port, node.st_rdev, NamesOf(*path)});
    }
    return sought;
}

// The sought port a descriptor of `fdDir` is open on, or nullptr. Its link is read first and
// only a link naming a sought port is worth a stat, which never blocks there (a file on a hung
// network mount could hold a stat for minutes).
Sought* OpenOn(int fdDir, const char* fdName, std::vector<Sought>& sought) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlinkat(fdDir, fdName, target.data(), target.size() - 1);
    if (length <= 0) return nullptr;
    const std::string_view link(target.data(), static_cast<std::size_t>(length));
    for (Sought& entry : sought) {
        if (entry.found ||
            std::find(entry.paths.begin(), entry.paths.end(), link) == entry.paths.end()) {
            continue;
        }
        struct stat info {};
        if (fstatat(fdDir, fdName, &info, 0) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == entry.device) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

HolderScan ScanPortHolders(const std::vector<std::wstring>& ports, const std::string& procRoot,
                           std::chrono::milliseconds limit) {
    HolderScan scan;
    std::vector<Sought> sought = Devices(ports);
    if (sought.empty()) return scan;
    const Dir processes(opendir(procRoot.c_str()));
    if (!processes) return scan;
    const Clock::time_point deadline = Clock::now() + limit;
    const auto self = static_cast<std::uint32_t>(getpid());
    std::size_t left = sought.size();
    bool timeUp = false;
    while (left > 0 && !timeUp) {
        const dirent* entry = readdir(processes.get());
        if (entry == nullptr) break;
        const std::optional<std::uint32_t> pid = ProcessId(entry->d_name);
        if (!pid || *pid == self) continue;
        const std::string processDir = procRoot + "/" + entry->d_name;
        // Another user's descriptors are hidden from us: EACCES, and on to the next.
        const Dir fds(opendir((processDir + "/fd").c_str()));
        if (!fds) continue;
        const int fdDir = dirfd(fds.get());
        // One process may hold hundreds of thousands of descriptors: the clock is asked at each.
        while (const dirent* fd = readdir(fds.get())) {
            timeUp = Clock::now() >= deadline;
            if (timeUp) break;
            if (fd->d_name[0] == '.') continue;
            if (const Sought* port = OpenOn(fdDir, fd->d_name, sought)) {
                // Every name of that device is held (a by-id link listed beside ttyUSB0).
                const dev_t device = port->device;
                for (Sought& same : sought) {
                    if (same.found || same.device != device) continue;
                    same.found = true;
                    scan.held[same.port] = {ProgramName(processDir), *pid};
                    --left;
                }
                if (left == 0) break;
            }
        }
    }
    for (const Sought& port : sought) {
        if (timeUp && !port.found) scan.unchecked.insert(port.port);
    }
    return scan;
}

HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot, std::chrono::milliseconds limit) {
    return [=](const std::vector<std::wstring>& ports) {
        const std::string prefix = devRoot + "/";
        std::vector<std::wstring> hardware;
        // A tty directly under `devRoot` whose sysfs entry has a device behind it.
        const auto isHardware = [&](const std::string& path) {
            if (!path.starts_with(prefix)) return false;
            const std::string name = path.substr(prefix.size());
            struct stat device {};
            return !name.empty() && name.find('/') == std::string::npos &&
                   lstat((sysfsRoot + "/class/tty/" + name + "/device").c_str(), &device) == 0;
        };
        for (const std::wstring& port : ports) {
            // By any name it goes by: a /dev/serial/by-id link, in DRAVIK_EXTRA_PORTS or given
            // to set --port, is the hardware port it leads to.
            const std::optional<std::string> path = PortPathBytes(port);
            if (!path) continue;
            const std::vector<std::string> names = NamesOf(*path);
            if (std::any_of(names.begin(), names.end(), isHardware)) hardware.push_back(port);
        }
        return ScanPortHolders(hardware, procRoot, limit);
    };
}

HolderCheck PlatformHolderCheck() {
    return HardwarePortHolders("/sys", "/dev", "/proc");
}

PortPeek LinuxPortPeek(const SystemRoots& roots) {
    return [roots](const std::wstring& port) {
        const auto seen = [](OpenReason reason, PortHolder holder = {}, NodeAccess access = {}) {
            return OpenStatus{reason, std::move(holder), std::move(access)};
        };
        const std::optional<std::string> path = PortPathBytes(port);
        if (!path) return seen(OpenReason::Gone);
        std::array<char, PATH_MAX> device{};
        if (realpath(path->c_str(), device.data()) == nullptr) {
            return seen(errno == EACCES ? OpenReason::PermissionDenied : OpenReason::Gone);
        }
        struct stat node {};
        if (stat(device.data(), &node) == 0 && S_ISCHR(node.st_mode) &&
            IsConsoleDevice(node.st_rdev, roots.sysfs)) {
            return seen(OpenReason::Console);
        }
        if (faccessat(AT_FDCWD, device.data(), R_OK | W_OK, AT_EACCESS) != 0) {
            if (errno != EACCES) return seen(OpenReason::Other);
            return seen(OpenReason::PermissionDenied, {}, AccessOf(device.data()));
        }
        if (std::optional<PortHolder> holder = UucpLockHolder(roots, device.data())) {
            return seen(OpenReason::Busy, std::move(*holder));
        }
        return seen(OpenReason::Opened);
    };
}

PortPeek PlatformPortPeek() {
    return LinuxPortPeek(SystemRoots{});
}
