// The copies of the status table outside C++ (the header and wrappers hosts read, the READMEs)
// against the table: a status added, renumbered or reworded in one place only fails here.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "statuses.h"

namespace {

std::string Source(const std::string& path) {
    std::ifstream file(DRAVIK_SOURCE_DIR "/" + path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// NOT_CONFIRMED as .NET spells it: NotConfirmed.
std::string Pascal(const std::string& name) {
    std::string pascal;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '_') continue;
        const bool first = i == 0 || name[i - 1] == '_';
        pascal += first ? name[i] : static_cast<char>(name[i] - 'A' + 'a');
    }
    return pascal;
}

TEST(Statuses, EveryCopyHasTheTablesNamesAndNumbers) {
    const struct {
        const char* path;
        const char* definition;  // the name, then the number
        bool pascal;
    } copies[] = {
        {"libdravik/dravik.h", R"(#define DRAVIK_([A-Z_]+) +([0-9]+))", false},
        {"python/dravik/_native.py", R"(\n([A-Z_]+) = ([0-9]+)(?=\n))", false},
        {"dotnet/Exceptions.cs", R"(\n +([A-Za-z]+) = ([0-9]+),)", true},
    };
    for (const auto& copy : copies) {
        std::map<std::string, int> table;
        for (const StatusRow& row : kStatuses)
            if (*row.name != '\0') table[copy.pascal ? Pascal(row.name) : row.name] = row.number;
        const std::string text = Source(copy.path);
        std::map<std::string, int> found;
        const std::regex definition(copy.definition);
        for (std::sregex_iterator it(text.begin(), text.end(), definition), end; it != end; ++it)
            found[(*it)[1]] = std::stoi((*it)[2]);
        EXPECT_EQ(found, table) << copy.path;
    }
}

// The manual page's section replaces the list help2man would take from --help (under EXAMPLES).
TEST(Statuses, TheManualAndTheReadmesListTheExitStatusesAsHelpDoes) {
    EXPECT_NE(Source("packaging/README.txt.in").find("\n" + ExitStatusList(80) + "\n"),
              std::string::npos)
        << "README.txt.in's exit codes are not\n"
        << ExitStatusList(80);
    const std::string readme = Source("README.md");
    const std::string manual = Source("packaging/dravik-cli.h2m");
    for (const StatusRow& row : kStatuses) {
        if (!row.exitStatus) continue;
        const std::string number =
            row.number == kStatusStoppedBase ? "128+N" : std::to_string(row.number);
        const std::string roff = std::regex_replace(row.meaning, std::regex("-"), "\\-");
        EXPECT_NE(readme.find("\n| " + number + " | " + row.meaning + " |\n"), std::string::npos)
            << number;
        EXPECT_NE(manual.find("\n.TP\n.B " + number + "\n" + roff + "\n"), std::string::npos)
            << number;
    }
}

}  // namespace
