#include "system_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "unique_fd_linux.h"
#include "utf8_text.h"

namespace {

// The kernel's fixed numbers of /dev/console and of the virtual consoles (tty0..tty63; the
// serial ports that share major 4 start at minor 64).
constexpr unsigned kConsoleMajor = 5;
constexpr unsigned kConsoleMinor = 1;
constexpr unsigned kVirtualConsoleMajor = 4;
constexpr unsigned kVirtualConsoleMinors = 64;
// PID_MAX_LIMIT of a 64-bit kernel: no pid_max is higher.
constexpr std::uint32_t kPidMaxLimit = 4'194'304;

// A tty's "major:minor" (<sysfsRoot>/class/tty/<name>/dev).
std::optional<dev_t> TtyDevice(const std::string& sysfsRoot, const std::string& name) {
    const std::string text = ReadAttribute(sysfsRoot + "/class/tty/" + name + "/dev").value_or("");
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::optional<std::uint32_t> major =
        DecimalNumber(std::string_view(text).substr(0, colon));
    const std::optional<std::uint32_t> minor =
        DecimalNumber(std::string_view(text).substr(colon + 1));
    if (!major || !minor) return std::nullopt;
    return makedev(*major, *minor);
}

// getpwuid_r and getgrgid_r fill a buffer of the caller's, whose size no limit tells for sure.
template <typename Entry, typename Lookup>
std::optional<Entry> LookUp(Lookup lookup, std::vector<char>& buffer) {
    Entry entry{};
    Entry* found = nullptr;
    for (buffer.resize(4096); buffer.size() <= (1u << 20); buffer.resize(buffer.size() * 2)) {
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) continue;
        if (error != 0 || found == nullptr) return std::nullopt;
        return entry;
    }
    return std::nullopt;
}

std::optional<passwd> Account(uid_t uid, std::vector<char>& buffer) {
    return LookUp<passwd>([uid](passwd* p, char* b, std::size_t n,
                                passwd** r) { return getpwuid_r(uid, p, b, n, r); },
                          buffer);
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer;
    const std::optional<group> entry = LookUp<group>(
        [gid](group* g, char* b, std::size_t n, group** r) { return getgrgid_r(gid, g, b, n, r); },
        buffer);
    return entry ? std::string(entry->gr_name) : std::to_string(gid);
}

// Whether this login (its process's groups) has `gid`.
bool LoginHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the account is in `gid` as the group database has it now: usermod -aG shows here at
// once, and in a login only after the next one.
bool AccountHasGroup(gid_t gid) {
    std::vector<char> buffer;
    const std::optional<passwd> account = Account(geteuid(), buffer);
    if (!account) return false;
    if (account->pw_gid == gid) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
        if (static_cast<std::size_t>(count) <= groups.size()) return false;
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(static_cast<std::size_t>(count));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

}  // namespace

std::optional<std::uint32_t> DecimalNumber(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::string> ReadAttribute(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return std::nullopt;
    std::array<char, 4096> buffer{};
    const ssize_t count = ::read(fd.Get(), buffer.data(), buffer.size());
    if (count < 0) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(count));
}

std::vector<std::string> ConsoleNames(const std::string& sysfsRoot) {
    std::istringstream active(ReadAttribute(sysfsRoot + "/class/tty/console/active").value_or(""));
    std::vector<std::string> names;
    for (std::string name; active >> name;)
        names.push_back(name);
    return names;
}

bool IsConsoleDevice(dev_t device, const SystemRoots& roots) {
    if (device == makedev(kConsoleMajor, kConsoleMinor)) return true;
    if (major(device) == kVirtualConsoleMajor && minor(device) < kVirtualConsoleMinors) return true;
    struct stat console {};
    if (stat((roots.dev + "/console").c_str(), &console) == 0 && S_ISCHR(console.st_mode) &&
        console.st_rdev == device) {
        return true;
    }
    const std::vector<std::string> names = ConsoleNames(roots.sysfs);
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return TtyDevice(roots.sysfs, name) == device;
    });
}

std::uint32_t PidMax(const std::string& procRoot) {
    const std::optional<std::uint32_t> max =
        DecimalNumber(ReadAttribute(procRoot + "/sys/kernel/pid_max").value_or(""));
    return max && *max > 0 ? std::min(*max, kPidMaxLimit) : kPidMaxLimit;
}

std::string UserName(uid_t uid) {
    std::vector<char> buffer;
    const std::optional<passwd> entry = Account(uid, buffer);
    return entry ? std::string(entry->pw_name) : std::to_string(uid);
}

NodeAccess AccessOf(const std::string& devicePath) {
    struct stat node {};
    if (stat(devicePath.c_str(), &node) != 0) return {};
    NodeAccess access{WideFromBytes(GroupName(node.st_gid)), AccessHint::AskAdmin};
    const bool groupMay = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    // The owner's bits, not the group's, apply to the node's owner.
    if (!groupMay || node.st_uid == geteuid() || LoginHasGroup(node.st_gid)) return access;
    access.hint = AccountHasGroup(node.st_gid) ? AccessHint::LogInAgain : AccessHint::JoinGroup;
    return access;
}
