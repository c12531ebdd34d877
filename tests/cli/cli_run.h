#pragma once

// dravik-cli's commands run in-process, with what they print captured.

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline CliRun RunCaptured(const std::vector<std::string>& args, const CliSystem& system) {
    std::ostringstream out;
    std::ostringstream err;
    CliRun run;
    run.status = RunCli(args, system, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}
