#include "port_holders_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "utf8_text.h"
#include "uucp_lock_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a scan has found, shared by the thread that scans and the caller that waits for it: the
// caller may stop waiting and leave the thread behind, stuck in the kernel.
struct ScanState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;  // the scan ended by itself: `scan` is its result
    HolderScan scan;    // until then, the holders found so far
};

// Scans whose threads still run, stuck ones included, and how many may.
std::atomic<int> g_runningScans{0};
constexpr int kMaxRunningScans = 4;
// How often a caller waiting for the scan looks at its stop.
constexpr auto kStopCheck = std::chrono::milliseconds(20);

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

// A port the scan looks for: its device number, the paths a descriptor's link shows for it, and
// its node as the file a descriptor is open on (the node's filesystem and inode).
struct Sought {
    std::wstring port;
    dev_t device = 0;
    std::vector<std::string> paths;
    dev_t nodeFilesystem = 0;
    ino_t nodeInode = 0;
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
        sought.push_back({port, node.st_rdev, NamesOf(*path), node.st_dev, node.st_ino});
    }
    return sought;
}

// The file a descriptor is open on as the kernel notes it for the descriptor itself (its fdinfo):
// the id of its mount and its inode. Reading it never reaches the file's filesystem.
struct OpenFile {
    std::string mountId;
    ino_t inode = 0;
};

std::optional<OpenFile> FdInfo(const std::string& processDir, const char* fdName) {
    std::istringstream lines(ReadAttribute(processDir + "/fdinfo/" + fdName).value_or(""));
    OpenFile file;
    bool inode = false;
    for (std::string key, value; lines >> key >> value;) {
        if (key == "mnt_id:") file.mountId = value;
        if (key == "ino:") {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), file.inode);
            inode = error == std::errc() && end == value.data() + value.size();
        }
    }
    if (file.mountId.empty() || !inode) return std::nullopt;
    return file;
}

// The device number of the filesystem behind mount `mountId` of a process, from its mountinfo
// ("36 35 0:5 / /dev rw ..."): text too, which no filesystem is asked for.
std::optional<dev_t> MountDevice(const std::string& processDir, const std::string& mountId) {
    std::ifstream mounts(processDir + "/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        if (!(fields >> id >> parent >> numbers) || id != mountId) continue;
        unsigned int major = 0;
        unsigned int minor = 0;
        const std::size_t colon = numbers.find(':');
        const char* text = numbers.data();
        if (colon == std::string::npos ||
            std::from_chars(text, text + colon, major).ec != std::errc() ||
            std::from_chars(text + colon + 1, text + numbers.size(), minor).ec != std::errc()) {
            return std::nullopt;
        }
        return makedev(major, minor);
    }
    return std::nullopt;
}

// The sought port a descriptor of `fdDir` (in `processDir`) is open on, or nullptr. Nothing here
// reaches the file's own filesystem: its link is read first, and only a link naming a sought
// port is worth its fdinfo and the mount behind it, which must be the sought node's own. A stat
// would reach it: a process in a mount namespace of its own can show a sought path for a file
// on a FUSE or network mount that never answers, and the stat would wait for as long, and keep
// the process that scans from ending.
Sought* OpenOn(const std::string& processDir, int fdDir, const char* fdName,
               std::vector<Sought>& sought) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlinkat(fdDir, fdName, target.data(), target.size() - 1);
    if (length <= 0) return nullptr;
    const std::string_view link(target.data(), static_cast<std::size_t>(length));
    const auto named = [&](const Sought& entry) {
        return !entry.found &&
               std::find(entry.paths.begin(), entry.paths.end(), link) != entry.paths.end();
    };
    if (std::none_of(sought.begin(), sought.end(), named)) return nullptr;
    const std::optional<OpenFile> file = FdInfo(processDir, fdName);
    const std::optional<dev_t> filesystem =
        file ? MountDevice(processDir, file->mountId) : std::nullopt;
    if (!filesystem) return nullptr;
    for (Sought& entry : sought) {
        if (named(entry) && entry.nodeFilesystem == *filesystem && entry.nodeInode == file->inode)
            return &entry;
    }
    return nullptr;
}

// One pass over `procRoot` until `deadline`, into `state`: each holder as it is found, for a
// caller that stops waiting before the pass ends, and at the end the ports left unchecked.
void Scan(const std::vector<std::wstring>& ports, const std::string& procRoot,
          Clock::time_point deadline, ScanState& state) {
    std::vector<Sought> sought = Devices(ports);
    const Dir processes(sought.empty() ? nullptr : opendir(procRoot.c_str()));
    const auto self = static_cast<std::uint32_t>(getpid());
    std::size_t left = sought.size();
    bool timeUp = false;
    while (processes && left > 0 && !timeUp) {
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
            if (const Sought* port = OpenOn(processDir, fdDir, fd->d_name, sought)) {
                // Every name of that device is held (a by-id link listed beside ttyUSB0).
                const dev_t device = port->device;
                const PortHolder holder{ProgramName(processDir), *pid};
                const std::lock_guard lock(state.mutex);
                for (Sought& same : sought) {
                    if (same.found || same.device != device) continue;
                    same.found = true;
                    state.scan.held[same.port] = holder;
                    --left;
                }
                if (left == 0) break;
            }
        }
    }
    {
        const std::lock_guard lock(state.mutex);
        for (const Sought& port : sought) {
            if (timeUp && !port.found) state.scan.unchecked.insert(port.port);
        }
        state.done = true;
    }
    state.finished.notify_all();
}

}  // namespace

HolderScan ScanPortHolders(const std::vector<std::wstring>& ports, const std::string& procRoot,
                           std::chrono::milliseconds limit, const StopToken& stop) {
    if (ports.empty()) return {};
    HolderScan cut;
    cut.unchecked.insert(ports.begin(), ports.end());
    const Clock::time_point deadline = Clock::now() + limit;
    auto state = std::make_shared<ScanState>();
    // Scans that never came back keep their threads: past a few, the ports go unchecked at once.
    if (g_runningScans.fetch_add(1) >= kMaxRunningScans) {
        --g_runningScans;
        return cut;
    }
    try {
        std::thread([ports, procRoot, deadline, state] {
            Scan(ports, procRoot, deadline, *state);
            --g_runningScans;
        }).detach();
    } catch (const std::system_error&) {
        --g_runningScans;
        return cut;
    }

    std::unique_lock lock(state->mutex);
    for (Clock::time_point now = Clock::now();
         !state->done && now < deadline && stop.Requested() == 0; now = Clock::now()) {
        state->finished.wait_for(lock, std::min<Clock::duration>(deadline - now, kStopCheck));
    }
    if (state->done) return state->scan;
    // Given up: what was found stands, the rest is unchecked. The thread ends by itself once its
    // call returns, or stays where it is stuck.
    for (const auto& [port, holder] : state->scan.held) {
        cut.unchecked.erase(port);
        cut.held[port] = holder;
    }
    return cut;
}

HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot, std::chrono::milliseconds limit) {
    return [=](const std::vector<std::wstring>& ports, const StopToken& stop) {
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
        return ScanPortHolders(hardware, procRoot, limit, stop);
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
            IsConsoleDevice(node.st_rdev, roots)) {
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
