#pragma once

#include "events/Address.h"
#include "net/UdpSocket.h"

#include <QByteArray>

#include <functional>
#include <netinet/in.h>

constexpr std::size_t HOST_NAME_BUFFER = 50;
// Room for a burst of events while the window is busy.
constexpr int EVENT_RECEIVE_BUFFER = 4 << 20;

// Where the endpoints go; the defaults are those of a real firewall network.
struct EndpointSettings {
    quint16 eventPort = EVENT_PORT;
    quint32 discoveryAddress = INADDR_BROADCAST; // host order
    quint16 discoveryPort = DISCOVERY_PORT;
    AllowList allowed; // the senders of events and replies accepted; empty: every one
};

// The host-name steps of a discovery open: the system's, or a test's.
struct HostLookup {
    std::function<int(char* buffer, std::size_t size)> getName; // 0, or -1 with errno
    std::function<bool(const char* name)> resolve;
    static HostLookup system();
};

// Mode 0 opens `socket` as the event socket on the settings' event port, mode 1 as a discovery
// socket. 0, or errno of the failed step; in mode 1 `*failedStep` then names it: 1 socket,
// 2 broadcast, 3 bind, 4 host name, 5 its lookup.
int InitializeSocket(int mode, UdpSocket& socket, const EndpointSettings& settings, const HostLookup& lookup,
                     int* failedStep = nullptr);

// The read notification of `socket` runs `post` while a datagram waits; with `readerThread`, a
// thread takes the datagrams out of the kernel as they arrive. 0, or errno.
int RegisterReadNotification(UdpSocket& socket, std::function<void()> post, bool readerThread = false);

// Opens the event socket with its reader thread. 0, or -1; `*error` receives errno only when the
// notification could not be registered, and `*openError`, when given, the errno of a failed
// creation or bind.
int OpenEventSocket(UdpSocket& socket, const EndpointSettings& settings, std::function<void()> post,
                    int* error, int* openError = nullptr);

// The monitor's end of server discovery: a socket opened anew for each detection, the Discover
// packet sent to the target, and the replies read.
class DiscoveryEndpoint
{
public:
    explicit DiscoveryEndpoint(const EndpointSettings& settings, HostLookup lookup = HostLookup::system())
        : m_settings(settings), m_lookup(std::move(lookup))
    {
    }

    // 0, or errno with `*failedStep` as InitializeSocket gives it; a failed socket is closed.
    int OpenDiscoverySocket(int* failedStep);
    void CloseDiscoverySocket() { m_socket.close(); }
    // `post` runs while a reply waits. 0, or errno.
    int watch(std::function<void()> post);
    // 0, or errno of the failed send.
    int sendDiscoverPacket();
    // One reply of at most `capacity` bytes, as receiveDatagram reads it; a reply from a sender
    // outside the allowed list is dropped like a failed read (EPERM) and counted.
    long readReply(char* buffer, std::size_t capacity, int* error);
    quint64 refusedReplies() const { return m_refused; }

    const UdpSocket& socket() const { return m_socket; }
    const EndpointSettings& settings() const { return m_settings; }
    void setHostLookup(HostLookup lookup) { m_lookup = std::move(lookup); }

private:
    EndpointSettings m_settings;
    HostLookup m_lookup;
    UdpSocket m_socket;
    quint64 m_refused = 0;
};
