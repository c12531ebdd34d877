#pragma once

// The audit trail of a set session (`dravik-cli set --log FILE`): CSV rows appended, RFC 4180
// quoting, one header when the file is new or empty. Every row is on the disk (synced) when Append
// returns, and a row is never half on disk: when a write fails the file is cut back to the end of
// its last complete row. A file that does not end in a line feed (a crash of an older run, a
// foreign writer) gets one before the first row, so that no row is glued to a fragment.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Why a log was refused. Only a regular file takes the rows: a terminal or a device would carry
// them off the record (down another instrument's line), a FIFO nobody reads would block the run
// for ever, /dev/null would swallow them, and a final symbolic link could lead the rows into a
// file the station never named.
enum class LogRefusal { CannotOpen, NotRegularFile };

// The file as the log uses it; the platform's part (log_file_linux.cpp, log_file_win32.cpp).
class LogFile {
  public:
    // Opens `utf8Path` for appending (created when missing) when it is a regular file;
    // nullptr, with why, when it is not or cannot be opened.
    static std::unique_ptr<LogFile> Open(const std::string& utf8Path, LogRefusal& why);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // The file's size; -1 when it cannot be had.
    std::int64_t End();
    // Whether the byte before `end` is a line feed.
    bool EndsInLineFeed(std::int64_t end);
    // Takes the file for this writer alone, against every other run appending to it (an
    // exclusive flock; LockFileEx on Windows), waiting a few seconds at most; false when it
    // could not be had.
    bool Lock();
    void Unlock();
    // All of `text`, or false.
    bool Write(const std::string& text);
    bool CutBack(std::int64_t size);
    // Hands what was written to the disk; true where there is no disk to hand it to.
    bool Sync();

  private:
    enum class Locking { Taken, HeldByAnother, Unsupported };
    explicit LogFile(int fd) : m_fd(fd) {}
    // One try at the lock, without waiting. A file that takes no lock at all (on a file system
    // without locks) is written unlocked, as a single run writes it.
    Locking TryLock();
    // Writes a first part of the `size` bytes at `data`, as one write call does; how many, or
    // 0 on a failure.
    std::size_t WriteSome(const char* data, std::size_t size);
    int m_fd;
};

class StationLog {
  public:
    // nullptr when the file is not a regular file or cannot be opened for appending; then
    // `complaint`, when given, gets the line that says so. `utf8Path` as given on the command
    // line. Nothing has been written to it when it is refused.
    static std::unique_ptr<StationLog> Open(const std::string& utf8Path,
                                            std::string* complaint = nullptr);

    // Appends one row (the fields of LogColumns, in order), after the header when the file is
    // empty and a line feed when it does not end in one, and syncs it; false, with the file as
    // it was, when it could not be written in full. The file is locked from reading its end
    // to the sync (or the cut back), so that of several runs logging to one file each cuts back
    // only what it wrote, and the header goes in once.
    bool Append(const std::vector<std::string>& fields);

  private:
    explicit StationLog(std::unique_ptr<LogFile> file) : m_file(std::move(file)) {}

    std::unique_ptr<LogFile> m_file;
};
