#pragma once

// A fresh directory (0700) under the system's temp dir or `parent`, removed with everything in it
// at the end (Linux tests).

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
  public:
    explicit ScratchDir(
        const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / "dravik-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};
