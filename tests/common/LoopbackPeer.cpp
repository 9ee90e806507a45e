// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/LoopbackPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackPeer::LoopbackPeer(quint16 port, quint32 address)
    : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const int size = 8 << 20;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address);
    ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

LoopbackPeer::~LoopbackPeer()
{
    ::close(m_fd);
}

quint16 boundPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 ? ntohs(local.sin_port) : 0;
}

bool LoopbackPeer::sendTo(quint16 port, const QByteArray& bytes, quint32 address) const
{
    if ((address >> 24) != 127)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    return ::sendto(m_fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to) == bytes.size();
}

bool LoopbackPeer::receive(QByteArray& bytes, int timeoutMs, quint16* fromPort) const
{
    pollfd ready{m_fd, POLLIN, 0};
    int n = 0;
    while ((n = ::poll(&ready, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return false;
    QByteArray buffer(65536, '\0');
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = ::recvfrom(m_fd, buffer.data(), static_cast<std::size_t>(buffer.size()), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0)
        return false;
    buffer.truncate(got);
    bytes = buffer;
    if (fromPort)
        *fromPort = ntohs(from.sin_port);
    return true;
}

quint16 freeUdpPort()
{
    return LoopbackPeer(0, INADDR_ANY).port();
}
