#include "station_log.h"

#include "channel_record.h"
#include "station_input.h"
#include "station_text.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace {

// A spreadsheet runs a field that starts with one of these as a formula (OWASP's advice on CSV
// injection: such a field gets a leading ' and quotes). Port names and levels come from the
// command line, tags from the station: none of them may turn into a formula.
bool MightBeFormula(const std::string& field) {
    return !field.empty() && std::string("=+-@\t\r").find(field.front()) != std::string::npos;
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& field, bool number) {
    const bool formula = !number && MightBeFormula(field);
    if (!formula && field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = formula ? "\"'" : "\"";
    for (const char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

// The columns that hold numbers the tool itself wrote: their leading '-' is a minus sign.
bool IsNumberColumn(std::size_t column) {
    const std::vector<LogColumn>& columns = LogColumns();
    return column < columns.size() && columns[column].number;
}

// Rows end with a bare line feed, as the station's shell tools expect; RFC 4180 readers take it.
std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) row += ',';
        row += CsvField(fields[i], IsNumberColumn(i));
    }
    return row + '\n';
}

}  // namespace

bool LogFile::Lock() {
    // Another run holds it only for one row's write and sync: a wait this long means a writer
    // stuck on its disk, and a row not written is reported, not waited for. A stop request
    // does not cut the wait short: the rows that record how the run ended are the ones the
    // audit needs most, and the wait is bounded anyway. The step is short: the library's
    // sessions in one host process (a test socket each) take turns at one log a row at a time,
    // and a 10 ms step made 8 of them 40 % slower than one.
    constexpr auto kStep = std::chrono::milliseconds(1);
    constexpr auto kLimit = std::chrono::seconds(5);
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (;;) {
        if (TryLock() != Locking::HeldByAnother) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kStep);
    }
}

bool LogFile::Write(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const std::size_t n = WriteSome(text.data() + done, text.size() - done);
        if (n == 0) return false;
        done += n;
    }
    return true;
}

std::unique_ptr<StationLog> StationLog::Open(const std::string& utf8Path, std::string* complaint) {
    LogRefusal why = LogRefusal::CannotOpen;
    std::unique_ptr<LogFile> file = LogFile::Open(utf8Path, why);
    if (!file) {
        if (complaint != nullptr)
            *complaint = Complaint(
                utf8Path, why == LogRefusal::NotRegularFile ? kLogNotRegular : kLogOpenFailed);
        return nullptr;
    }
    return std::unique_ptr<StationLog>(new StationLog(std::move(file)));
}

bool StationLog::Append(const std::vector<std::string>& fields) {
    if (!m_file->Lock()) return false;
    const std::int64_t end = m_file->End();
    std::string text = end > 0 && !m_file->EndsInLineFeed(end) ? "\n" : "";
    if (end == 0) text += LogHeader() + '\n';
    text += CsvRow(fields);
    const bool written = m_file->Write(text) && m_file->Sync();
    if (!written && end >= 0 && m_file->CutBack(end)) m_file->Sync();
    m_file->Unlock();
    return written;
}
