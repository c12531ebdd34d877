#pragma once

// A sysfs tree whose kernel console is the device at a path of the test's (a pty), as
// <root>/class/tty/console/active and <root>/class/tty/<name>/dev show it (Linux tests): the
// console guard is tried without the machine's own console.

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "scratch_dir.h"

class ConsoleSysfs {
  public:
    explicit ConsoleSysfs(const std::string& devicePath) {
        struct stat node {};
        if (!m_root.Ok() || ::stat(devicePath.c_str(), &node) != 0) return;
        const std::filesystem::path tty = std::filesystem::path(m_root.Path()) / "class/tty";
        std::filesystem::create_directories(tty / "console");
        std::filesystem::create_directories(tty / "ttyFAKE0");
        std::ofstream(tty / "console/active") << "tty0 ttyFAKE0\n";
        std::ofstream(tty / "ttyFAKE0/dev")
            << major(node.st_rdev) << ":" << minor(node.st_rdev) << "\n";
        m_ok = true;
    }

    bool Ok() const { return m_ok; }
    const std::string& Root() const { return m_root.Path(); }

  private:
    const ScratchDir m_root;
    bool m_ok = false;
};
