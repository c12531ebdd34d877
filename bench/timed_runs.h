#pragma once

// What the benchmarks that time whole runs share: a program run and timed, and a series of
// such times with its median.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// Runs `args` with its output to /dev/null; the wall time in ms from start to exit, or nullopt
// when it could not start or did not exit with `expected`.
inline std::optional<double> TimedRun(const std::vector<std::string>& args, char** environment,
                                      int expected = 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return std::nullopt;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expected) return std::nullopt;
    return ms;
}

// The times of one kind of run; a run that failed marks the series.
struct Series {
    const char* what;
    std::vector<double> ms;
    bool failed = false;

    double Median() {
        std::sort(ms.begin(), ms.end());
        return ms.empty() ? 0 : ms[ms.size() / 2];
    }
    void Add(std::optional<double> run) {
        if (run) ms.push_back(*run);
        failed = failed || !run;
    }
    void Print() {
        const double median = Median();
        std::printf("%-44s min %8.1f  median %8.1f  max %8.1f ms%s\n", what,
                    ms.empty() ? 0 : ms.front(), median, ms.empty() ? 0 : ms.back(),
                    failed ? "  (a run FAILED)" : "");
    }
};
