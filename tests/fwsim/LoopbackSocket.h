#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A UDP socket bound to 127.0.0.1 on a free port, with a receive queue big enough for a flood.
class LoopbackSocket
{
public:
    LoopbackSocket()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int size = 8 << 20;
        // The forced size passes rmem_max where the test may raise it; the plain one is the fallback.
        if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
            socklen_t length = sizeof local;
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
            m_port = ntohs(local.sin_port);
        }
    }
    ~LoopbackSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    quint16 port() const { return m_port; }

    // One datagram, or false when none came before the deadline. `fromPort` gets its source port.
    bool receive(QByteArray& datagram, QDeadlineTimer deadline, quint16* fromPort = nullptr)
    {
        for (;;) {
            pollfd p = {m_fd, POLLIN, 0};
            const qint64 remaining = deadline.remainingTime();
            const int ready = ::poll(&p, 1, remaining < 0 ? -1 : static_cast<int>(remaining));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            QByteArray buffer(65536, '\0');
            sockaddr_in from = {};
            socklen_t length = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, buffer.data(), 65536, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0)
                continue;
            buffer.truncate(static_cast<int>(n));
            datagram = buffer;
            if (fromPort)
                *fromPort = ntohs(from.sin_port);
            return true;
        }
    }

    // Sends to 127.0.0.1:port, never anywhere else.
    bool sendToLoopback(quint16 port, const QByteArray& datagram)
    {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return ::sendto(m_fd, datagram.constData(), static_cast<std::size_t>(datagram.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to) == datagram.size();
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// A UDP port that was free on 0.0.0.0 a moment ago, for the simulator's discovery socket.
inline quint16 freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
        socklen_t length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ::close(fd);
    return port;
}
