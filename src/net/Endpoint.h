#pragma once

#include "net/UdpSocket.h"

#include <QByteArray>

#include <functional>
#include <netinet/in.h>

constexpr quint16 EVENT_PORT = 1023;
constexpr int WM_EVENT_SOCKET = 1087;
constexpr int WM_DISCOVERY_SOCKET = 1050;
constexpr std::size_t HOST_NAME_BUFFER = 50;
// Room for a burst of events while the window is busy.
constexpr int EVENT_RECEIVE_BUFFER = 4 << 20;

extern UdpSocket g_eventSocket;
extern sockaddr_in g_eventAddress;
extern UdpSocket g_discoverySocket;
extern sockaddr_in g_discoveryAddress;
extern sockaddr_in g_broadcastAddress;

// Where the endpoints go; the defaults are those of a real firewall network.
struct EndpointSettings {
    quint16 eventPort = EVENT_PORT;
    quint32 discoveryAddress = INADDR_BROADCAST; // host byte order
    quint16 discoveryPort = 1019;
};
extern EndpointSettings g_endpointSettings;

// The host-name steps of a discovery open, replaceable in tests.
struct HostLookup {
    std::function<int(char* buffer, std::size_t size)> getName; // 0, or -1 with errno
    std::function<bool(const char* name)> resolve;
};
extern HostLookup g_hostLookup;

// Mode 0 opens the event socket, mode 1 the discovery socket. 0, or errno of the failed step; in
// mode 1 `*failedStep` then names it: 1 socket, 2 broadcast, 3 bind, 4 host name, 5 its lookup.
int InitializeSocket(int mode, int* failedStep = nullptr);

// The read notification of `socket` runs `post` while a datagram waits; with `readerThread`, a
// thread takes the datagrams out of the kernel as they arrive. 0, or errno.
int RegisterReadNotification(UdpSocket& socket, std::function<void()> post, bool readerThread = false);

// 0, or -1; `*error` receives errno only when the notification could not be registered, and
// `*openError`, when given, the errno of a failed creation or bind.
int OpenEventSocket(std::function<void()> post, int* error, int* openError = nullptr);

// 0, or errno with `*failedStep` as InitializeSocket gives it; a failed socket is closed.
int OpenDiscoverySocket(int* failedStep);
void CloseDiscoverySocket();

// Parses "ADDRESS[:PORT]" (dotted IPv4) into the discovery settings; false if it is not one.
bool parseDiscoveryTarget(const QString& text, EndpointSettings& settings);
