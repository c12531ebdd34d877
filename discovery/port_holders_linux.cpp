#include "port_holders_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

#include "enum_ports_linux.h"
#include "utf8_text.h"
#include "uucp_lock_linux.h"

namespace {

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

// Whether a descriptor of `processDir` is open on the device numbered `device`. Its link is
// read first: only a path into a device directory is worth a stat, which never blocks there
// (a file on a hung network mount could hold a stat for minutes).
bool OpensDevice(int fdDir, const char* fdName, dev_t device, const std::string& devRoot) {
    std::array<char, 4096> target{};
    const ssize_t length = readlinkat(fdDir, fdName, target.data(), target.size() - 1);
    if (length <= 0) return false;
    const std::string_view path(target.data(), static_cast<std::size_t>(length));
    const bool inDevices =
        path.starts_with("/dev/") ||
        (path.starts_with(devRoot) && path.size() > devRoot.size() && path[devRoot.size()] == '/');
    if (!inDevices) return false;
    struct stat info {};
    return fstatat(fdDir, fdName, &info, 0) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

}  // namespace

std::optional<PortHolder> FindPortHolder(const std::string& devicePath, const std::string& devRoot,
                                         const std::string& procRoot) {
    struct stat port {};
    if (stat(devicePath.c_str(), &port) != 0 || !S_ISCHR(port.st_mode)) return std::nullopt;
    const Dir processes(opendir(procRoot.c_str()));
    if (!processes) return std::nullopt;
    const auto self = static_cast<std::uint32_t>(getpid());
    while (const dirent* entry = readdir(processes.get())) {
        const std::optional<std::uint32_t> pid = ProcessId(entry->d_name);
        if (!pid || *pid == self) continue;
        const std::string processDir = procRoot + "/" + entry->d_name;
        // Another user's descriptors are hidden from us: EACCES, and on to the next.
        const Dir fds(opendir((processDir + "/fd").c_str()));
        if (!fds) continue;
        const int fdDir = dirfd(fds.get());
        while (const dirent* fd = readdir(fds.get())) {
            if (fd->d_name[0] == '.') continue;
            if (OpensDevice(fdDir, fd->d_name, port.st_rdev, devRoot)) {
                return PortHolder{ProgramName(processDir), *pid};
            }
        }
    }
    return std::nullopt;
}

HolderCheck HardwarePortHolders(const std::string& sysfsRoot, const std::string& devRoot,
                                const std::string& procRoot) {
    return [=](const std::wstring& port) -> std::optional<PortHolder> {
        const std::optional<std::string> path = PortPathBytes(port);
        const std::string prefix = devRoot + "/";
        if (!path || !path->starts_with(prefix)) return std::nullopt;
        const std::string name = path->substr(prefix.size());
        if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
        struct stat device {};
        if (lstat((sysfsRoot + "/class/tty/" + name + "/device").c_str(), &device) != 0) {
            return std::nullopt;
        }
        return FindPortHolder(*path, devRoot, procRoot);
    };
}

HolderCheck PlatformHolderCheck() {
    return HardwarePortHolders("/sys", "/dev", "/proc");
}

PortPeek LinuxPortPeek(const std::string& lockDir, HolderCheck holderOf) {
    return [lockDir, holderOf = std::move(holderOf)](const std::wstring& port) {
        const auto seen = [](OpenReason reason, PortHolder holder = {}) {
            return OpenStatus{reason, std::move(holder)};
        };
        const std::optional<std::string> path = PortPathBytes(port);
        if (!path) return seen(OpenReason::Gone);
        std::array<char, PATH_MAX> device{};
        if (realpath(path->c_str(), device.data()) == nullptr) {
            return seen(errno == EACCES ? OpenReason::PermissionDenied : OpenReason::Gone);
        }
        if (faccessat(AT_FDCWD, device.data(), R_OK | W_OK, AT_EACCESS) != 0) {
            return seen(errno == EACCES ? OpenReason::PermissionDenied : OpenReason::Other);
        }
        if (const std::optional<std::uint32_t> pid = UucpLockHolder(lockDir, device.data())) {
            return seen(OpenReason::Busy, {L"", *pid});
        }
        if (std::optional<PortHolder> holder = holderOf ? holderOf(port) : std::nullopt) {
            return seen(OpenReason::Busy, std::move(*holder));
        }
        return seen(OpenReason::Opened);
    };
}

PortPeek PlatformPortPeek() {
    return LinuxPortPeek(kSystemLockDir, PlatformHolderCheck());
}
