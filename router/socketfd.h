#pragma once

// A socket descriptor the router code owns for one exchange: closed when it goes out of scope.

#include <unistd.h>

namespace quillmere::router {

class SocketFd
{
public:
    // `fd` as ::socket() gave it; a negative one (a failed call) is never closed.
    explicit SocketFd(int fd)
        : m_fd(fd)
    {}
    ~SocketFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

} // namespace quillmere::router
