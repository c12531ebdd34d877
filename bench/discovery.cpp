// Wall time of the search for the meter (ProbePorts) on this machine: with the machine's own port
// list (probed only when that list is empty: no real serial device is ever opened here), with a
// sysfs tree full of phantom legacy ports, and with the simulated meter as the k-th of k extra
// ports, the others silent ptys. Also what the busy check of the hardware ports costs: one scan
// of every process's descriptors in /proc for four ptys nobody else holds (the whole tree is
// read), as the machine is and with a child holding 100,000 descriptors more, beside a scan per
// port.
//
// Then `find --all` (run in-process, with the platform's layer and holder check) with k = 1, 4
// and 8 meters as the extra ports, each a meter-sim of its own: the ports are probed side by
// side.
//
// Targets: no phantom port probed; no real ports: under 50 ms; meter k-th: 500 k + 200 ms,
// within 30 ms; the busy check under 50 ms, and with 100,000 descriptors more within its own
// time bound (kHolderScanLimit), never cut short; `find --all` with 8 meters within 1.3 times
// its time with one.
//
// DRAVIK_BENCH_QUICK=1: one run of each, for a check that the benchmark still works. Exits 1 on
// an error (a port opened that must not be, the meter not found, a holder where there is none);
// a missed target is only printed.

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "enum_ports_linux.h"
#include "holder_process.h"
#include "port_discovery.h"
#include "port_holders_linux.h"
#include "quick_mode.h"
#include "scratch_dir.h"
#include "serial_layer.h"
#include "sim_process.h"
#include "utf8_text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kNoPortLimitMs = 50;
constexpr double kToleranceMs = 30;
constexpr double kFindAllRatioLimit = 1.3;

// Runs of each measurement: one in the quick mode.
int Runs(int full) {
    return BenchRounds(full, 1);
}

const int kRuns = Runs(5);

// The platform layer, counting the ports the search opens.
class CountingLayer : public PassThroughLayer {
  public:
    CountingLayer() : PassThroughLayer(PlatformSerialLayer()) {}
    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        ++opens;
        return PassThroughLayer::Open(name, status);
    }
    int opens = 0;
};

// Stands in for the TIOCGSERIAL fallback, which would open the device: notes the port and
// keeps it listed, so the search below refuses to run on it.
struct RefusingQuery {
    std::vector<std::string> asked;
    UartTypeQuery Query() {
        return [this](const std::string& path) {
            asked.push_back(path);
            return std::optional<int>();
        };
    }
};

struct Timing {
    double minMs = 0;
    double medianMs = 0;
    double maxMs = 0;
    std::wstring result;
    int opens = 0;
};

Timing Measure(const PortLister& lister) {
    std::vector<double> times;
    Timing timing;
    for (int run = 0; run < kRuns; ++run) {
        CountingLayer layer;
        const Clock::time_point start = Clock::now();
        timing.result = FoundPort(ProbePorts(layer, lister));
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        timing.opens = layer.opens;
    }
    std::sort(times.begin(), times.end());
    timing.minMs = times.front();
    timing.medianMs = times[times.size() / 2];
    timing.maxMs = times.back();
    return timing;
}

void Print(const char* what, const Timing& t) {
    std::printf("%-34s min %8.2f  median %8.2f  max %8.2f ms  opens/run %d  result \"%s\"\n", what,
                t.minMs, t.medianMs, t.maxMs, t.opens, Utf8FromWide(t.result).c_str());
}

bool RealPorts() {
    std::puts("== the machine's own port list (sysfs only; no device opened)");
    RefusingQuery query;
    std::vector<PortInfo> real;
    EnumSerialPortsFromSysfs(real, "/sys", "/dev", query.Query());
    std::string consoles;
    std::getline(std::ifstream("/sys/class/tty/console/active"), consoles);
    std::printf("kernel console ports (left out): %s\n", consoles.c_str());
    std::printf("listed: %zu\n", real.size());
    for (const PortInfo& port : real)
        std::printf("  %s\n", Utf8FromWide(port.name).c_str());
    for (const std::string& path : query.asked) {
        std::printf("  (type unreadable, kept unprobed: %s)\n", path.c_str());
    }
    if (!real.empty()) {
        std::puts("real serial ports are listed: probing them is refused, timing skipped");
        return true;
    }
    // The list is taken again inside each search; should a port appear meanwhile, the search
    // gets an empty list rather than real hardware.
    bool appeared = false;
    const Timing t = Measure([&appeared](std::vector<PortInfo>&) {
        RefusingQuery again;
        std::vector<PortInfo> found;
        EnumSerialPortsFromSysfs(found, "/sys", "/dev", again.Query());
        if (!found.empty()) appeared = true;
    });
    if (appeared) {
        std::puts("a real port appeared during the runs: timing discarded");
        return false;
    }
    Print("no meter, real list", t);
    const bool met = t.maxMs < kNoPortLimitMs && t.opens == 0;
    std::printf("target: under %.0f ms, nothing opened: %s\n", kNoPortLimitMs,
                met ? "met" : "MISSED");
    return t.opens == 0;
}

bool Phantoms() {
    std::puts("== fake sysfs: ttyS0 the console, ttyS1..ttyS31 phantoms (type 0)");
    ScratchDir root;
    if (root.Path().empty()) return false;
    const fs::path cls = fs::path(root.Path()) / "class/tty";
    std::error_code error;
    for (int i = 0; i < 32; ++i) {
        const std::string name = "ttyS" + std::to_string(i);
        const fs::path dir =
            fs::path(root.Path()) / "devices/platform/serial8250" / name / "tty" / name;
        fs::create_directories(dir, error);
        fs::create_directories(cls, error);
        fs::create_directory_symlink(dir.parent_path().parent_path(), dir / "device", error);
        fs::create_directory_symlink(dir, cls / name, error);
        std::ofstream(dir / "type") << (i == 0 ? "4\n" : "0\n");
    }
    fs::create_directories(cls / "console", error);
    std::ofstream(cls / "console" / "active") << "tty0 ttyS0\n";
    if (error) {
        std::printf("cannot build the tree: %s\n", error.message().c_str());
        return false;
    }

    RefusingQuery query;
    const std::string sysfs = root.Path();
    const std::string dev = root.Path() + "/dev";
    const Timing t = Measure([&](std::vector<PortInfo>& list) {
        EnumSerialPortsFromSysfs(list, sysfs, dev, query.Query());
    });
    Print("no meter, 31 phantoms + console", t);
    const bool met = t.opens == 0 && query.asked.empty() && t.maxMs < kNoPortLimitMs;
    std::printf("target: no phantom probed, under %.0f ms: %s\n", kNoPortLimitMs,
                met ? "met" : "MISSED");
    return t.opens == 0 && query.asked.empty();
}

bool MeterKth(int k) {
    MeterSimProcess meter;
    std::vector<std::unique_ptr<PtyPair>> silent;
    std::string extra;
    for (int i = 1; i < k; ++i) {
        silent.push_back(std::make_unique<PtyPair>());
        if (!silent.back()->Ok()) return false;
        extra += silent.back()->SlavePath() + ":";
    }
    if (!meter.Started()) {
        std::puts("meter-sim did not start (is DRAVIK_BIN_DIR right?)");
        return false;
    }
    extra += meter.DevicePath();
    ::setenv("DRAVIK_EXTRA_PORTS", extra.c_str(), 1);

    ScratchDir empty;  // no machine ports: only the extra ones are listed
    const std::string sysfs = empty.Path();
    const Timing t = Measure([&sysfs](std::vector<PortInfo>& list) {
        EnumSerialPortsFromSysfs(list, sysfs, sysfs + "/dev", RefusingQuery().Query());
        AppendExtraPorts(list);
    });
    ::unsetenv("DRAVIK_EXTRA_PORTS");

    const std::string what =
        "meter as extra port " + std::to_string(k) + " of " + std::to_string(k);
    Print(what.c_str(), t);
    const double target = 500.0 * k + 200.0;
    const bool found = t.result == meter.PortName() && t.opens == k;
    const bool met = found && t.minMs >= target && t.maxMs <= target + kToleranceMs;
    std::printf("target: %.0f ms within %.0f (excess %+.2f .. %+.2f ms): %s\n", target,
                kToleranceMs, t.minMs - target, t.maxMs - target, met ? "met" : "MISSED");
    return found;
}

// Processes, and descriptors this user may see, in /proc: what the busy check reads.
void CountDescriptors(int& processes, int& descriptors) {
    processes = descriptors = 0;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        ++processes;
        std::error_code hidden;
        for (fs::directory_iterator fd(entry.path() / "fd", hidden), end; !hidden && fd != end;
             fd.increment(hidden)) {
            ++descriptors;
        }
    }
}

// `total` descriptors more, in as many children as the hard RLIMIT_NOFILE calls for (raising
// it takes a privilege a bench need not have); nullopt when they cannot be had.
std::optional<std::vector<std::unique_ptr<HolderProcess>>> HoldDescriptors(int total) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < 1024) return std::nullopt;
    const int perChild =
        static_cast<int>(std::min<rlim_t>(limit.rlim_max, 1'000'000)) - 64;  // its own too
    std::vector<std::unique_ptr<HolderProcess>> hogs;
    for (int left = total; left > 0; left -= perChild) {
        hogs.push_back(std::make_unique<HolderProcess>("/dev/null", HolderProcess::Hold::Open,
                                                       std::min(left, perChild)));
        if (!hogs.back()->Ok()) return std::nullopt;
    }
    return hogs;
}

struct ScanCost {
    double onceMs = 0;     // median of one look for every port
    double perPortMs = 0;  // median of one look per port, as each port was once checked alone
    bool cutShort = false;
    bool held = false;
};

ScanCost MeasureScans(const std::vector<std::wstring>& ports, int scans) {
    std::vector<double> once;
    std::vector<double> perPort;
    ScanCost cost;
    for (int i = 0; i < scans; ++i) {
        Clock::time_point start = Clock::now();
        const HolderScan scan = ScanPortHolders(ports, "/proc", kHolderScanLimit, ProcessStop());
        once.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cost.cutShort = cost.cutShort || !scan.unchecked.empty();
        cost.held = cost.held || !scan.held.empty();
        start = Clock::now();
        for (const std::wstring& port : ports)
            cost.held =
                !ScanPortHolders({port}, "/proc", kHolderScanLimit, ProcessStop()).held.empty() ||
                cost.held;
        perPort.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(once.begin(), once.end());
    std::sort(perPort.begin(), perPort.end());
    cost.onceMs = once[once.size() / 2];
    cost.perPortMs = perPort[perPort.size() / 2];
    return cost;
}

bool BusyCheck() {
    constexpr int kPorts = 4;
    constexpr int kHogDescriptors = 100'000;
    constexpr double kLimitMs = 50;
    const auto kHogLimitMs = static_cast<double>(kHolderScanLimit.count());
    std::printf("== busy check of %d hardware ports: one /proc look, nobody else holding them\n",
                kPorts);
    bool ok = true;
    for (const bool hog : {false, true}) {
        std::optional<std::vector<std::unique_ptr<HolderProcess>>> hogs;
        if (hog) {
            hogs = HoldDescriptors(kHogDescriptors);
            if (!hogs) {
                std::printf("no children could hold %d descriptors: skipped\n", kHogDescriptors);
                return false;
            }
        }
        // Made after the children, which would hold them otherwise.
        std::vector<std::unique_ptr<PtyPair>> ptys;
        std::vector<std::wstring> ports;
        for (int i = 0; i < kPorts; ++i) {
            ptys.push_back(std::make_unique<PtyPair>());
            if (!ptys.back()->Ok()) return false;
            ports.push_back(ptys.back()->PortName());
        }
        int processes = 0;
        int descriptors = 0;
        CountDescriptors(processes, descriptors);
        const ScanCost cost = MeasureScans(ports, Runs(hog ? 5 : 50));
        const double limit = hog ? kHogLimitMs : kLimitMs;
        const bool met = !cost.held && !cost.cutShort && cost.onceMs < limit;
        std::printf(
            "%d processes, %d descriptors visible%s: one look %.2f ms, one look per port %.2f "
            "ms (median)%s\n",
            processes, descriptors, hog ? " (children hold 100,000)" : "", cost.onceMs,
            cost.perPortMs, cost.cutShort ? ", CUT SHORT" : "");
        std::printf("target: one look under %.0f ms, not cut short, no holder reported: %s\n",
                    limit, met ? "met" : "MISSED");
        ok = ok && !cost.held;
    }
    return ok;
}

// `find --all` with `k` meters, each a meter-sim of its own, as the only listed ports; its median
// wall time, or nullopt when a run did not print every meter in list order with exit status 0.
std::optional<double> FindAll(int k) {
    std::vector<std::unique_ptr<MeterSimProcess>> meters;
    std::vector<PortInfo> listed;
    std::string expected;
    for (int i = 0; i < k; ++i) {
        meters.push_back(std::make_unique<MeterSimProcess>());
        if (!meters.back()->Started()) {
            std::puts("meter-sim did not start (is DRAVIK_BIN_DIR right?)");
            return std::nullopt;
        }
        listed.push_back({meters.back()->PortName(), L"DRAVIK_EXTRA_PORTS"});
        expected += meters.back()->DevicePath() + "\n";
    }
    const CliSystem system{PlatformSerialLayer(),
                           [&listed](std::vector<PortInfo>& list) {
                               list.insert(list.end(), listed.begin(), listed.end());
                           },
                           PlatformHolderCheck(), PlatformPortPeek()};
    std::vector<double> times;
    bool ok = true;
    for (int run = 0; run < kRuns; ++run) {
        std::ostringstream out;
        std::ostringstream err;
        const Clock::time_point start = Clock::now();
        const int status = RunCli({"find", "--all"}, system, out, err);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        ok = ok && status == kStatusConfirmed && out.str() == expected;
    }
    std::sort(times.begin(), times.end());
    std::printf("find --all, k=%d meters            min %8.2f  median %8.2f  max %8.2f ms%s\n", k,
                times.front(), times[times.size() / 2], times.back(),
                ok ? "" : "  (a run did not find every meter in order)");
    if (!ok) return std::nullopt;
    return times[times.size() / 2];
}

bool FindAllSideBySide() {
    std::puts("== find --all, meters side by side (one after another: 500 k + 200 ms)");
    const std::optional<double> one = FindAll(1);
    const std::optional<double> four = FindAll(4);
    const std::optional<double> eight = FindAll(8);
    if (!one || !four || !eight) {
        std::puts("target: not measured");
        return false;
    }
    const double ratio = *eight / *one;
    std::printf("ratio k=8 / k=1 (medians): %.3f (k=4 / k=1: %.3f)\n", ratio, *four / *one);
    std::printf("target: k=8 within %.1fx of k=1: %s\n", kFindAllRatioLimit,
                ratio <= kFindAllRatioLimit ? "met" : "MISSED");
    return true;
}

}  // namespace

int main() {
    std::printf("search wall time, %d runs each%s\n", kRuns, BenchQuick() ? " (quick)" : "");
    bool ok = RealPorts();
    ok = Phantoms() && ok;
    for (int k = 1; k <= 3; ++k)
        ok = MeterKth(k) && ok;
    ok = BusyCheck() && ok;
    ok = FindAllSideBySide() && ok;
    return ok ? 0 : 1;
}
