#include "statuses.h"

std::string ExitStatusList(std::size_t width) {
    constexpr std::size_t kIndent = 9;  // "  128+N  "
    std::string list;
    for (const StatusRow& row : kStatuses) {
        if (!row.exitStatus) continue;
        std::string number =
            row.number == kStatusStoppedBase ? "128+N" : std::to_string(row.number);
        std::string line = "  " + number + std::string(kIndent - 2 - number.size(), ' ');
        const std::string meaning = row.meaning;
        bool first = true;
        for (std::size_t start = 0; start <= meaning.size();) {
            std::size_t end = meaning.find(' ', start);
            if (end == std::string::npos) end = meaning.size();
            const std::string word = meaning.substr(start, end - start);
            if (!first && line.size() + 1 + word.size() > width) {
                list += (list.empty() ? "" : "\n") + line;
                line = std::string(kIndent, ' ') + word;
            } else {
                line += (first ? "" : " ") + word;
            }
            first = false;
            start = end + 1;
        }
        list += (list.empty() ? "" : "\n") + line;
    }
    return list;
}
