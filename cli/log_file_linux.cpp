#include <unistd.h>

#include <cerrno>

#include "station_log.h"

std::FILE* OpenForAppending(const std::string& utf8Path) {
    // "e": close-on-exec, as every descriptor of the link is.
    return std::fopen(utf8Path.c_str(), "abe");
}

bool SyncToDisk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    // A pipe or terminal (--log /dev/stdout) holds nothing to sync: EINVAL says so.
    return ::fsync(::fileno(file)) == 0 || errno == EINVAL;
}
