// The station log on a real file system: fields a spreadsheet would run quoted, a fragment
// left by an earlier crash kept apart from the next row, and a disk that fills in the middle
// of a row, on a tmpfs of two pages in a mount namespace of the test's own.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "channel_record.h"
#include "scratch_dir.h"
#include "sim_process.h"
#include "station_log.h"

namespace {

std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Fourteen fields, the first `given` as given and the rest empty.
std::vector<std::string> Row(std::vector<std::string> given) {
    given.resize(LogColumns().size());
    return given;
}

std::string Header() {
    return LogHeader() + "\n";
}

TEST(StationLog, QuotesWhatASpreadsheetWouldRunAndStartsAfterAFragmentOnANewLine) {
    const ScratchDir dir;
    const std::string path = dir.Path() + "/station.csv";
    std::ofstream(path, std::ios::binary) << Header() << "2026-01-01T00:00:00.000Z,/dev/tty";
    auto log = StationLog::Open(path);
    ASSERT_NE(log, nullptr);
    // time, port, channel, label, text, db, factor: the numbers the tool writes keep their sign.
    ASSERT_TRUE(log->Append(Row({"=1+1", "+COM1", "@SUM(A1)", "\tx", "-1", "-1", "-0.5"})));
    ASSERT_TRUE(log->Append(Row({"\rx", "a,b", "say \"hi\"", "plain"})));
    EXPECT_EQ(Contents(path),
              Header() + "2026-01-01T00:00:00.000Z,/dev/tty\n" +
                  "\"'=1+1\",\"'+COM1\",\"'@SUM(A1)\",\"'\tx\",\"'-1\",-1,-0.5,,,,,,,\n"
                  "\"'\rx\",\"a,b\",\"say \"\"hi\"\"\",plain,,,,,,,,,,\n");
}

// Only a regular file takes the rows, judged without following a final link (a FIFO nobody
// reads would block the run); a link in a directory part of the path is followed.
TEST(StationLog, OnlyARegularFileIsALog) {
    const ScratchDir dir;
    const std::string d = dir.Path();
    PtyPair pty;
    ASSERT_TRUE(::mkfifo((d + "/fifo").c_str(), 0600) == 0 && pty.Ok() &&
                ::symlink("named.csv", (d + "/link.csv").c_str()) == 0 &&
                ::symlink(".", (d + "/via").c_str()) == 0);
    for (const std::string& path :
         {d + "/fifo", pty.SlavePath(), d + "/link.csv", d, std::string("/dev/null")}) {
        std::string complaint;
        EXPECT_EQ(StationLog::Open(path, &complaint), nullptr) << path;
        EXPECT_EQ(complaint, "“" + path + "”：不是普通文件，不能作日志");
    }
    const auto log = StationLog::Open(d + "/via/named.csv");
    ASSERT_TRUE(log && log->Append(Row({"x"})));
    EXPECT_EQ(Contents(d + "/named.csv"), Header() + "x,,,,,,,,,,,,,\n");
}

// The child's side: fills a log on a tmpfs of two pages to 20 bytes short of its end, then
// appends a row that the disk cuts at the page boundary, then a row that fits. Writes what the
// file then holds to `report`; exits 77 where no mount namespace can be had.
[[noreturn]] void FillTheDisk(const std::string& dir, int report) {
    const bool root = ::geteuid() == 0;
    if (::unshare(root ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8k") != 0) {
        ::_exit(77);
    }
    const std::string path = dir + "/station.csv";
    std::string filler = Header();
    filler += std::string(8192 - 35 - filler.size() - 1, 'x') + "\n";
    std::ofstream(path, std::ios::binary) << filler;
    // Two runs on one log (two meters at one station): the one whose row fails takes back its
    // own bytes only, not the other's rows that came after it opened the file.
    auto log = StationLog::Open(path);
    auto other = StationLog::Open(path);
    const bool beside = other && other->Append(Row({"b"}));
    const bool cut = beside && log && !log->Append(Row({std::string(200, 'y')}));
    const bool fits = log && log->Append(Row({"z"}));
    const std::string result =
        std::string(cut ? "cut " : "whole ") + (fits ? "fits\n" : "lost\n") + Contents(path);
    const bool written =
        ::write(report, result.data(), result.size()) == static_cast<ssize_t>(result.size());
    ::_exit(written ? 0 : 1);
}

TEST(StationLog, ARowTheDiskCannotHoldIsCutBackWholeAndAloneWithTwoWriters) {
    const ScratchDir dir;
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) FillTheDisk(dir.Path(), pipe[1]);
    ::close(pipe[1]);
    std::string report;
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipe[0], chunk, sizeof chunk)) > 0;)
        report.append(chunk, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for a tmpfs here";
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::string expected = Header();
    expected += std::string(8192 - 35 - expected.size() - 1, 'x') + "\n";
    expected += "b,,,,,,,,,,,,,\nz,,,,,,,,,,,,,\n";
    EXPECT_EQ(report, "cut fits\n" + expected);
}

}  // namespace
