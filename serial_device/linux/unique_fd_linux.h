#pragma once

// A Linux file descriptor closed with its owner: for the serial layer, the lock files and the
// sysfs listing alike.

#include <unistd.h>

#include <utility>

// A descriptor closed with its owner.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) close(m_fd);
    }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(int fd) {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
        return *this;
    }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }

  private:
    int m_fd = -1;
};
