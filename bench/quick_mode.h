#pragma once

// DRAVIK_BENCH_QUICK=1, as ./test.sh runs every benchmark: fewer rounds, so that each run of
// the tests prints the figures and catches a benchmark that no longer works, in seconds. The
// figures of a short run are rougher; the targets are judged on full runs.

#include <cstdlib>
#include <cstring>

inline bool BenchQuick() {
    const char* quick = std::getenv("DRAVIK_BENCH_QUICK");
    return quick != nullptr && std::strcmp(quick, "1") == 0;
}

// `full` rounds, or `quick` in the short mode.
inline int BenchRounds(int full, int quick) {
    return BenchQuick() ? quick : full;
}
