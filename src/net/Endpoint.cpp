#include "net/Endpoint.h"

#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

UdpSocket g_eventSocket;
sockaddr_in g_eventAddress;
UdpSocket g_discoverySocket;
sockaddr_in g_discoveryAddress;
sockaddr_in g_broadcastAddress;
EndpointSettings g_endpointSettings;

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

int failStep(int* failedStep, int step, int error)
{
    if (failedStep)
        *failedStep = step;
    return error;
}

} // namespace

HostLookup g_hostLookup{[](char* buffer, std::size_t size) { return ::gethostname(buffer, size); },
                        resolveHostName};

int InitializeSocket(int mode, int* failedStep)
{
    if (mode == 0) {
        if (const int error = g_eventSocket.create())
            return error;
        const int size = EVENT_RECEIVE_BUFFER;
        ::setsockopt(g_eventSocket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        warnOfSmallReceiveBuffer(g_eventSocket.fd());
        std::memset(&g_eventAddress, 0, sizeof g_eventAddress);
        g_eventAddress.sin_family = AF_INET;
        g_eventAddress.sin_port = htons(g_endpointSettings.eventPort);
        g_eventAddress.sin_addr.s_addr = 0;
        if (::bind(g_eventSocket.fd(), reinterpret_cast<sockaddr*>(&g_eventAddress), sizeof g_eventAddress) !=
            0) {
            const int error = errno;
            g_eventSocket.close(); // never used again
            return error;
        }
        return 0;
    }

    if (const int error = g_discoverySocket.create())
        return failStep(failedStep, 1, error);
    const int on = 1;
    if (::setsockopt(g_discoverySocket.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return failStep(failedStep, 2, errno);
    std::memset(&g_discoveryAddress, 0, sizeof g_discoveryAddress);
    g_discoveryAddress.sin_family = AF_INET;
    if (::bind(g_discoverySocket.fd(), reinterpret_cast<sockaddr*>(&g_discoveryAddress),
               sizeof g_discoveryAddress) != 0)
        return failStep(failedStep, 3, errno);
    char hostName[HOST_NAME_BUFFER] = {};
    if (g_hostLookup.getName(hostName, sizeof hostName) != 0)
        return failStep(failedStep, 4, errno ? errno : ENAMETOOLONG);
    hostName[sizeof hostName - 1] = '\0';
    if (!g_hostLookup.resolve(hostName))
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

int OpenEventSocket(std::function<void()> post, int* error, int* openError)
{
    if (const int code = InitializeSocket(0)) {
        if (openError)
            *openError = code;
        return -1;
    }
    if (const int code = RegisterReadNotification(g_eventSocket, std::move(post), true)) {
        *error = code;
        return -1;
    }
    return 0;
}

int OpenDiscoverySocket(int* failedStep)
{
    const int result = InitializeSocket(1, failedStep);
    if (result != 0)
        g_discoverySocket.close();
    return result;
}

void CloseDiscoverySocket()
{
    g_discoverySocket.close();
}

bool parseDiscoveryTarget(const QString& text, EndpointSettings& settings)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2)
        return false;
    in_addr address{};
    if (::inet_pton(AF_INET, parts[0].toLatin1().constData(), &address) != 1)
        return false;
    quint16 port = 1019;
    if (parts.size() == 2) {
        // Digits only: toUInt() would also take blanks around them and a sign.
        const QString& digits = parts[1];
        const bool onlyDigits = std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
        bool ok = false;
        const uint value = digits.toUInt(&ok);
        if (!onlyDigits || !ok || value == 0 || value > 65535)
            return false;
        port = static_cast<quint16>(value);
    }
    settings.discoveryAddress = ntohl(address.s_addr);
    settings.discoveryPort = port;
    return true;
}
