#include <io.h>

#include <optional>

#include "station_log.h"
#include "utf8_text.h"

std::FILE* OpenForAppending(const std::string& utf8Path) {
    const std::optional<std::wstring> path = WideFromUtf8(utf8Path);
    if (!path) return nullptr;
    return ::_wfopen(path->c_str(), L"ab");
}

bool SyncToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && ::_commit(::_fileno(file)) == 0;
}
