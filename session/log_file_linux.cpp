#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "station_log.h"

std::unique_ptr<LogFile> LogFile::Open(const std::string& utf8Path, LogRefusal& why) {
    // What exists and is not a regular file is not even opened: opening a tty raises its modem
    // lines, a tape rewinds. A symbolic link in a directory part of the path is followed.
    struct stat named {};
    if (::lstat(utf8Path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        why = LogRefusal::NotRegularFile;
        return nullptr;
    }
    // Read as well, for the last byte; close-on-exec, as every descriptor of the link is. What
    // was swapped in after the look above is met by the open itself (no final link followed, no
    // controlling terminal taken, no wait for a FIFO's reader) and judged on the descriptor,
    // which no rename can swap. O_NONBLOCK changes nothing on a regular file.
    const int fd =
        ::open(utf8Path.c_str(),
               O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        why = errno == ELOOP || errno == EISDIR || errno == ENXIO ? LogRefusal::NotRegularFile
                                                                  : LogRefusal::CannotOpen;
        return nullptr;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        why = LogRefusal::NotRegularFile;
        return nullptr;
    }
    return std::unique_ptr<LogFile>(new LogFile(fd));
}

LogFile::~LogFile() {
    ::close(m_fd);
}

std::int64_t LogFile::End() {
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) return -1;
    return info.st_size;
}

bool LogFile::EndsInLineFeed(std::int64_t end) {
    char last = 0;
    return ::pread(m_fd, &last, 1, end - 1) == 1 && last == '\n';
}

std::size_t LogFile::WriteSome(const char* data, std::size_t size) {
    ssize_t n = 0;
    while ((n = ::write(m_fd, data, size)) < 0 && errno == EINTR) {
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool LogFile::CutBack(std::int64_t size) {
    return ::ftruncate(m_fd, size) == 0;
}

bool LogFile::Sync() {
    return ::fsync(m_fd) == 0;
}

LogFile::Locking LogFile::TryLock() {
    int result = 0;
    while ((result = ::flock(m_fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result == 0) return Locking::Taken;
    return errno == EWOULDBLOCK ? Locking::HeldByAnother : Locking::Unsupported;
}

void LogFile::Unlock() {
    ::flock(m_fd, LOCK_UN);
}
