#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <optional>

#include "station_log.h"
#include "utf8_text.h"

namespace {

bool IsDirectoryOrLink(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

// Whether the handle is a file on a disk itself: not a device (NUL, CON, COM1), a pipe, a
// directory or a reparse point (a symbolic link or junction, opened as itself).
bool IsRegularFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
           !IsDirectoryOrLink(info.dwFileAttributes);
}

}  // namespace

std::unique_ptr<LogFile> LogFile::Open(const std::string& utf8Path, LogRefusal& why) {
    why = LogRefusal::CannotOpen;
    const std::optional<std::wstring> path = WideFromUtf8(utf8Path);
    if (!path) return nullptr;
    // A directory or a link is refused before it is opened; what was swapped in after this look
    // is judged on the handle. A reparse point is opened as itself, never followed; the share
    // mode and the handle's inheritance are those _wopen gave.
    const DWORD attributes = ::GetFileAttributesW(path->c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && IsDirectoryOrLink(attributes)) {
        why = LogRefusal::NotRegularFile;
        return nullptr;
    }
    const HANDLE file = ::CreateFileW(
        path->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (!IsRegularFile(file)) {
        ::CloseHandle(file);
        why = LogRefusal::NotRegularFile;
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return nullptr;
    }
    return std::unique_ptr<LogFile>(new LogFile(fd));
}

LogFile::~LogFile() {
    ::_close(m_fd);
}

std::int64_t LogFile::End() {
    struct _stat64 info {};
    if (::_fstat64(m_fd, &info) != 0) return -1;
    return info.st_size;
}

bool LogFile::EndsInLineFeed(std::int64_t end) {
    // Appending writes at the end whatever the position, so reading may move it.
    char last = 0;
    return ::_lseeki64(m_fd, end - 1, SEEK_SET) == end - 1 && ::_read(m_fd, &last, 1) == 1 &&
           last == '\n';
}

std::size_t LogFile::WriteSome(const char* data, std::size_t size) {
    const int n = ::_write(m_fd, data, static_cast<unsigned>(size));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool LogFile::CutBack(std::int64_t size) {
    return ::_chsize_s(m_fd, size) == 0;
}

bool LogFile::Sync() {
    return ::_commit(m_fd) == 0;
}

namespace {

// The byte every run locks: far past any end a log reaches, so that the lock, which Windows
// enforces on the bytes it covers, never stands in a write's way; writers agree on it alone.
OVERLAPPED LockedByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFF;
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
}

}  // namespace

LogFile::Locking LogFile::TryLock() {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(m_fd));
    OVERLAPPED at = LockedByte();
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return Locking::Taken;
    }
    return ::GetLastError() == ERROR_LOCK_VIOLATION ? Locking::HeldByAnother : Locking::Unsupported;
}

void LogFile::Unlock() {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(m_fd));
    OVERLAPPED at = LockedByte();
    ::UnlockFileEx(file, 0, 1, 0, &at);
}
