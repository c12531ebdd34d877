#include "station_log.h"

namespace {

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

// Rows end with a bare line feed, as the station's shell tools expect; RFC 4180 readers take it.
std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) row += ',';
        row += CsvField(fields[i]);
    }
    return row + '\n';
}

}  // namespace

const std::vector<std::string>& StationLog::Columns() {
    static const std::vector<std::string> columns = {"time", "port",   "channel", "label",   "text",
                                                     "db",   "factor", "frame",   "answered"};
    return columns;
}

std::unique_ptr<StationLog> StationLog::Open(const std::string& utf8Path) {
    std::FILE* file = OpenForAppending(utf8Path);
    if (file == nullptr) return nullptr;
    // Appending starts at the end whatever the position; asking for the end tells the size.
    const bool empty = std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0;
    return std::unique_ptr<StationLog>(new StationLog(file, empty));
}

StationLog::~StationLog() {
    std::fclose(m_file);
}

bool StationLog::Append(const std::vector<std::string>& fields) {
    std::string text = m_needsHeader ? CsvRow(Columns()) : std::string();
    text += CsvRow(fields);
    const bool written = std::fwrite(text.data(), 1, text.size(), m_file) == text.size();
    if (written) m_needsHeader = false;
    return written && SyncToDisk(m_file);
}
