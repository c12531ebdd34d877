#pragma once

// The audit trail of `dravik-cli set --log FILE`: one CSV row per channel set, appended, with
// RFC 4180 quoting and a header row when the file is new or empty. Each row is on the disk
// before the next channel is sent, so a station that loses power keeps every row written.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class StationLog {
  public:
    // The columns, in order.
    static const std::vector<std::string>& Columns();

    // nullptr when the file cannot be opened for appending. `utf8Path` as given on the command
    // line.
    static std::unique_ptr<StationLog> Open(const std::string& utf8Path);
    ~StationLog();
    StationLog(const StationLog&) = delete;
    StationLog& operator=(const StationLog&) = delete;

    // Appends one row (the header first, on a new or empty file) and syncs it to the disk; false
    // when the row could not be written in full.
    bool Append(const std::vector<std::string>& fields);

  private:
    StationLog(std::FILE* file, bool empty) : m_file(file), m_needsHeader(empty) {}

    std::FILE* m_file;
    bool m_needsHeader;
};

// The platform's part (log_file_linux.cpp, log_file_win32.cpp): opening a file by its UTF-8
// name for binary appending, and handing written data to the disk.
std::FILE* OpenForAppending(const std::string& utf8Path);
bool SyncToDisk(std::FILE* file);
