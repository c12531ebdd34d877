#pragma once

// dravik-cli's commands, free of any platform: argument parsing, `ports`, `find` and `set` (on
// the set session), their output lines and the exit status (statuses.h). The serial layer and the
// port list come from the caller: the platform's own in dravik-cli, a fake or ptys in tests.
//
//   dravik-cli ports [--json]
//   dravik-cli find [--all] [--json]
//   dravik-cli set [--port PORT] [--json] [--log FILE] CHANNEL=DB [CHANNEL=DB ...]
//   dravik-cli --version | --help

#include <iosfwd>
#include <string>
#include <vector>

#include "port_discovery.h"
#include "set_session.h"
#include "statuses.h"

class ISerialLayer;

// What the commands run on. Without a holder check nothing is skipped before its open; without
// a peek `ports` sees nothing in any port's way.
struct CliSystem {
    ISerialLayer& layer;
    PortLister listPorts;
    HolderCheck holders = {};
    PortPeek peek = {};
};

// Runs one command line: `args` are the arguments after the program's name, in UTF-8. Writes
// UTF-8 lines to `out` (results) and `err` (one line per error); returns the exit status.
int RunCli(const std::vector<std::string>& args, const CliSystem& system, std::ostream& out,
           std::ostream& err);
