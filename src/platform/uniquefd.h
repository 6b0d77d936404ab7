#pragma once

#include <unistd.h>
#include <utility>

namespace korvane::platform {

/// Owns a POSIX file descriptor and closes it when it goes. Header-only and free of Qt, so the
/// sandboxed helper programs can use it too.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    /// Gives the descriptor up without closing it.
    int release() { return std::exchange(m_fd, -1); }
    /// Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

} // namespace korvane::platform
