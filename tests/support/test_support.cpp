#include "test_support.h"

#include <cstdlib>

std::string BinDir() {
    const char* dir = std::getenv("DRAVIK_BIN_DIR");
    return dir != nullptr ? dir : ".";
}
