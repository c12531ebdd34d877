// How long `dravik-cli` keeps a station's step in the cases that take longest, from start to
// exit, so that the step's time-out can be set from the figures (README, "Waiting times"):
//   - set on a meter that answers the probe but never a correction (meter-sim --no-ack);
//   - set --port on a port that does not answer the probe (meter-sim --silent);
//   - set on a line whose output flow control stops after the probe was answered (this program
//     plays the meter on a pty and stops the line's output with TCOOFF);
//   - find with no meter among eight silent ports, only when this machine lists no serial port
//     of its own: no real port is ever probed here.
// The exchange counts its waits in 5 ms steps, so a loaded machine stretches them: the max is
// the figure to set a time-out from, with a margin.
//
// Three runs of each (one with DRAVIK_BENCH_QUICK=1, and the stopped line's 42 s left out).
// Exits 1 when a run ends with another status than the case's; there is no target.

#include <termios.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_meter.h"
#include "machine_ports.h"
#include "quick_mode.h"
#include "sim_process.h"
#include "timed_runs.h"

extern char** environ;

namespace {

// Plays a meter that answers one probe, then stops the line's output, as a flow-controlled line
// held back by the far end: the next frame stays in the driver.
void AnswerThenStop(PtyPair& pty) {
    if (pty.Receive(40).size() != 40) return;
    pty.Send(MeterProbeReply());
    tcflow(pty.Slave(), TCOOFF);
}

}  // namespace

int main() {
    const int runs = BenchRounds(3, 1);
    const std::string cli = BinDir() + "/dravik-cli";
    MeterSimProcess noAck({"--no-ack"});
    MeterSimProcess silent({"--silent"});
    if (!noAck.Started() || !silent.Started()) {
        std::puts("meter-sim did not start (is DRAVIK_BIN_DIR right?)");
        return 1;
    }
    Series unconfirmed{"set, meter answers no correction (exit 1)", {}};
    Series unanswered{"set --port, probe unanswered (exit 3)", {}};
    Series stopped{"set, line output stopped after the probe (exit 1)", {}};
    Series search{"find, no meter among 8 silent ports (exit 3)", {}};
    const bool searchable = MachineListsNoPort();
    std::vector<std::unique_ptr<PtyPair>> silentPorts;
    std::string extra = "DRAVIK_EXTRA_PORTS=";
    for (int i = 0; i < 8; ++i) {
        silentPorts.push_back(std::make_unique<PtyPair>());
        extra += silentPorts.back()->SlavePath() + ":";
    }
    std::vector<char*> searchEnvironment = {extra.data(), nullptr};
    for (int run = 0; run < runs; ++run) {
        unconfirmed.Add(
            TimedRun({cli, "set", "--port", noAck.DevicePath(), "1310CW=0.35"}, environ, 1));
        unanswered.Add(
            TimedRun({cli, "set", "--port", silent.DevicePath(), "1310CW=0.35"}, environ, 3));
        if (!BenchQuick()) {
            PtyPair line;
            std::thread meter(AnswerThenStop, std::ref(line));
            stopped.Add(
                TimedRun({cli, "set", "--port", line.SlavePath(), "1310CW=0.35"}, environ, 1));
            meter.join();
        }
        if (searchable) search.Add(TimedRun({cli, "find"}, searchEnvironment.data(), 3));
    }
    std::printf("dravik-cli from start to exit, %d runs each\n", runs);
    unconfirmed.Print();
    unanswered.Print();
    if (BenchQuick()) {
        std::puts("set, line output stopped: not timed in the short mode (about 42.5 s)");
    } else {
        stopped.Print();
    }
    if (searchable) {
        search.Print();
    } else {
        std::puts("this machine lists serial ports of its own: the search is not timed here");
    }
    return unconfirmed.failed || unanswered.failed || stopped.failed || search.failed ? 1 : 0;
}
