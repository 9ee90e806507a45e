#pragma once

#include "events/EventRecord.h"
#include "maindlg/SorvaneDlg.h"
#include "net/Endpoint.h"
#include "widgets/MessageBoxes.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Records every message box instead of showing it; `onShow` lets a test look around at that moment,
// and `showTo` shows the box for real as well.
class RecordingBoxes : public MessageBoxes
{
public:
    void show(QWidget* owner, const QString& text, const QString& caption, Icon icon) override
    {
        messages << text;
        captions << caption;
        icons.push_back(icon);
        if (onShow)
            onShow(text);
        if (showTo)
            showTo->show(owner, text, caption, icon);
    }
    MessageBoxes* showTo = nullptr;
    QStringList messages;
    QStringList captions;
    std::vector<Icon> icons;
    std::function<void(const QString&)> onShow;
};

// A UDP socket on loopback, for the test's own end of a conversation.
class PeerSocket
{
public:
    explicit PeerSocket(quint16 port = 0, quint32 address = INADDR_ANY)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(address);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~PeerSocket() { ::close(m_fd); }
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    bool bound() const { return m_bound; }
    int fd() const { return m_fd; }
    quint16 port() const
    {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    bool sendTo(const QByteArray& bytes, quint16 port, quint32 address = INADDR_LOOPBACK) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(address);
        return ::sendto(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()), 0,
                        reinterpret_cast<sockaddr*>(&to), sizeof to) == bytes.size();
    }
    // One datagram if one waits (non-blocking), with its source.
    bool receive(QByteArray& bytes, sockaddr_in* from = nullptr) const
    {
        char buffer[2048];
        sockaddr_in source{};
        socklen_t length = sizeof source;
        const ssize_t n = ::recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&source), &length);
        if (n < 0)
            return false;
        bytes = QByteArray(buffer, n);
        if (from)
            *from = source;
        return true;
    }

private:
    int m_fd = -1;
    bool m_bound = false;
};

inline quint16 freeUdpPort()
{
    PeerSocket probe;
    return probe.port();
}

inline QByteArray eventDatagram(quint32 code, const QByteArray& user, const QByteArray& group,
                                quint32 userAddress, quint32 serverAddress,
                                const QByteArray& date = "12/06/2026", const QByteArray& time = "10:00:00")
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH, user);
    setField(record.Groupname, GROUPNAME_WIDTH, group);
    setField(record.LoginTime, LOGINTIME_WIDTH, "09:59");
    record.IPAddress = userAddress;
    record.ServerIPAddress = serverAddress;
    setField(record.Date, DATE_WIDTH, date);
    setField(record.EventTime, EVENTTIME_WIDTH, time);
    return encodeEvent(record);
}

inline quint32 ip(quint8 a, quint8 b, quint8 c, quint8 d)
{
    return ipAddressFromBytes(a, b, c, d);
}

// A monitor window on loopback ports of its own, with its log in a temporary folder. The
// discovery request goes to the loopback broadcast address, never to the network. A test may
// change the endpoints, options or host lookup and rebuild().
struct MonitorFixture {
    QTemporaryDir dir;
    RecordingBoxes boxes;
    PeerSocket firewall; // the firewall servers' end: discovery port, and the sender of events
    EndpointSettings endpoints;
    DialogOptions options;
    // The host-name steps; resolving needs no name service.
    HostLookup lookup{HostLookup::system().getName, [](const char*) { return true; }};
    std::unique_ptr<EventIntake> intake;
    std::unique_ptr<DiscoveryEndpoint> discovery;
    std::unique_ptr<CSorvaneDlg> dialog;

    explicit MonitorFixture(int selectPeriod = 3000, int detectionPeriod = 9000,
                            quint64 maxEventRows = 20000000)
    {
        endpoints.eventPort = freeUdpPort();
        endpoints.discoveryAddress = 0x7FFFFFFF; // 127.255.255.255
        endpoints.discoveryPort = firewall.port();
        options.userFilePath = logPath();
        options.selectServerPeriod = selectPeriod;
        options.detectionPeriod = detectionPeriod;
        options.maxEventRows = maxEventRows;
        rebuild();
    }
    void rebuild()
    {
        dialog.reset();
        IntakeOptions intakeOptions;
        intakeOptions.endpoint = endpoints;
        intakeOptions.logPath = options.userFilePath;
        intake = std::make_unique<EventIntake>(intakeOptions);
        discovery = std::make_unique<DiscoveryEndpoint>(
            endpoints,
            HostLookup{[this](char* buffer, std::size_t size) { return lookup.getName(buffer, size); },
                       [this](const char* name) { return lookup.resolve(name); }});
        dialog = std::make_unique<CSorvaneDlg>(options, *intake, *discovery, boxes);
    }
    QByteArray logPath() const { return QFile::encodeName(dir.filePath(QStringLiteral("userfile"))); }
    void send(const QByteArray& datagram) const { firewall.sendTo(datagram, endpoints.eventPort); }
};
