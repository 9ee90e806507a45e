// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Endpoint.h"

#include "net/Discovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

bool resolveHostName(const char* name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    ::freeaddrinfo(found);
    return true;
}

void warnOfSmallReceiveBuffer(int fd)
{
    int granted = 0;
    socklen_t length = sizeof granted;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0)
        return;
    // Linux reports twice what it grants.
    if (granted / 2 < EVENT_RECEIVE_BUFFER) {
        std::fprintf(stderr,
                     "sorvane: the event socket's receive buffer is %d KiB, not %d KiB; a burst of events "
                     "may be dropped. Raise the cap with: sysctl -w net.core.rmem_max=%d\n",
                     granted / 2 / 1024, EVENT_RECEIVE_BUFFER / 1024, EVENT_RECEIVE_BUFFER);
    }
}

sockaddr_in ipv4Address(quint32 hostOrder, quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrder);
    address.sin_port = htons(port);
    return address;
}

int failStep(int* failedStep, int step, int error)
{
    if (failedStep)
        *failedStep = step;
    return error;
}

} // namespace

HostLookup HostLookup::system()
{
    return {[](char* buffer, std::size_t size) { return ::gethostname(buffer, size); }, resolveHostName};
}

int InitializeSocket(int mode, UdpSocket& socket, const EndpointSettings& settings, const HostLookup& lookup,
                     int* failedStep)
{
    if (mode == 0) {
        if (const int error = socket.create())
            return error;
        const int size = EVENT_RECEIVE_BUFFER;
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        const sockaddr_in address = ipv4Address(INADDR_ANY, settings.eventPort);
        if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            socket.close(); // a bind tried again starts afresh
            return error;
        }
        warnOfSmallReceiveBuffer(socket.fd());
        return 0;
    }

    if (const int error = socket.create())
        return failStep(failedStep, 1, error);
    const int on = 1;
    if (::setsockopt(socket.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return failStep(failedStep, 2, errno);
    const sockaddr_in any = ipv4Address(INADDR_ANY, 0);
    if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        return failStep(failedStep, 3, errno);
    char hostName[HOST_NAME_BUFFER] = {};
    if (lookup.getName(hostName, sizeof hostName) != 0)
        return failStep(failedStep, 4, errno ? errno : ENAMETOOLONG);
    hostName[sizeof hostName - 1] = '\0';
    if (!lookup.resolve(hostName))
        return failStep(failedStep, 5, EHOSTUNREACH);
    return 0;
}

int RegisterReadNotification(UdpSocket& socket, std::function<void()> post, bool readerThread)
{
    if (readerThread)
        return socket.watchQueued(std::move(post));
    socket.watch(std::move(post));
    return 0;
}

int OpenEventSocket(UdpSocket& socket, const EndpointSettings& settings, std::function<void()> post,
                    int* error, int* openError)
{
    if (const int code = InitializeSocket(0, socket, settings, HostLookup{})) {
        if (openError)
            *openError = code;
        return -1;
    }
    if (const int code = RegisterReadNotification(socket, std::move(post), true)) {
        *error = code;
        return -1;
    }
    return 0;
}

int DiscoveryEndpoint::OpenDiscoverySocket(int* failedStep)
{
    const int result = InitializeSocket(1, m_socket, m_settings, m_lookup, failedStep);
    if (result != 0)
        m_socket.close();
    return result;
}

int DiscoveryEndpoint::watch(std::function<void()> post)
{
    return RegisterReadNotification(m_socket, std::move(post));
}

int DiscoveryEndpoint::sendDiscoverPacket()
{
    const sockaddr_in target = ipv4Address(m_settings.discoveryAddress, m_settings.discoveryPort);
    const QByteArray packet = DiscoverPacket();
    if (::sendto(m_socket.fd(), packet.constData(), static_cast<std::size_t>(packet.size()), 0,
                 reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
        return errno;
    return 0;
}

long DiscoveryEndpoint::readReply(char* buffer, std::size_t capacity, int* error)
{
    quint32 source = 0;
    const long n = receiveDatagram(m_socket, buffer, capacity, error, &source);
    if ((n >= 0 || *error == EMSGSIZE) && !m_settings.allowed.allows(source)) {
        ++m_refused;
        *error = EPERM;
        return -1;
    }
    return n;
}
