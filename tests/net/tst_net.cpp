#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "events/EventRecord.h"
#include "net/Discovery.h"
#include "net/Endpoint.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/resource.h>
#include <sys/socket.h>

namespace
{

quint16 localPort(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? ntohs(a.sin_port) : 0;
}

bool wouldBlock(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN;
}

// A read: its length, or -1 and the error ("EAGAIN" or "EMSGSIZE") in `outcome`.
long readOne(const UdpSocket& socket, QByteArray& bytes, QByteArray& outcome)
{
    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    const long n = receiveDatagram(socket, buffer, sizeof buffer, &error);
    bytes = n < 0 ? QByteArray() : QByteArray(buffer, n);
    outcome = n >= 0 ? QByteArray::number(n)
                     : QByteArray(wouldBlock(error)   ? "EAGAIN"
                                  : error == EMSGSIZE ? "EMSGSIZE"
                                                      : "?");
    return n;
}

} // namespace

class NetTest : public QObject
{
    Q_OBJECT

    EndpointSettings m_settings;
    HostLookup m_lookup; // what the discovery endpoint asks; reset before each test
    DiscoveryEndpoint m_discovery{
        m_settings,
        {[this](char* buffer, std::size_t size) { return m_lookup.getName(buffer, size); },
         [this](const char* name) { return m_lookup.resolve(name); }}};

private slots:
    void init()
    {
        m_lookup = {HostLookup::system().getName, [](const char*) { return true; }};
    }

    void eventSocketQueuesDatagramsInOrderAndRefusesLongOnes()
    {
        m_settings.eventPort = freeUdpPort();
        UdpSocket socket;
        int notified = 0;
        int error = 12345;
        QCOMPARE(OpenEventSocket(
                     socket, m_settings, [&] { ++notified; }, &error),
                 0);
        QCOMPARE(error, 12345);
        QCOMPARE(localPort(socket.fd()), m_settings.eventPort);
        QByteArray bytes;
        QByteArray outcome;
        QCOMPARE(readOne(socket, bytes, outcome), -1L);
        QCOMPARE(outcome, QByteArray("EAGAIN"));

        const LoopbackPeer firewall;
        QStringList sent;
        for (int i = 1; i <= 5; ++i) {
            sent << QStringLiteral("157 user%1").arg(i);
            firewall.sendTo(m_settings.eventPort, eventDatagram(quint8(i), "user" + QByteArray::number(i)));
        }
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "whole").leftJustified(512, 'x'));
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "too long").leftJustified(513, 'x'));
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "after"));
        sent << "512 whole"
             << "EMSGSIZE "
             << "157 after"
             << "EAGAIN ";
        QStringList read;
        while (read.size() < sent.size()) {
            // Each datagram is announced while it waits.
            notified = 0;
            if (read.size() < sent.size() - 1)
                QVERIFY(QTest::qWaitFor([&] { return notified > 0; }, 5000));
            readOne(socket, bytes, outcome);
            read << QString::fromLatin1(outcome + ' ' + datagramField(bytes, 4, 40));
        }
        QCOMPARE(read, sent);
    }

    void aTakenEventPortFailsAndLeavesNothingOpen()
    {
        const LoopbackPeer otherProgram(0, INADDR_ANY);
        m_settings.eventPort = otherProgram.port();
        UdpSocket socket;
        int error = 12345;
        int openError = 0;
        QCOMPARE(OpenEventSocket(
                     socket, m_settings, [] {}, &error, &openError),
                 -1);
        QCOMPARE(openError, EADDRINUSE);
        QCOMPARE(error, 12345);
        QVERIFY(!socket.isOpen());
    }

    void discoverySendsTheDiscoverPacketAndReadsReplies()
    {
        // A server behind the loopback broadcast address; the send needs the broadcast option.
        const LoopbackPeer server(0, INADDR_ANY);
        EndpointSettings target;
        target.discoveryAddress = 0x7FFFFFFF; // 127.255.255.255
        target.discoveryPort = server.port();
        DiscoveryEndpoint discovery(target, {HostLookup::system().getName, [](const char*) { return true; }});
        int step = 0;
        QCOMPARE(discovery.OpenDiscoverySocket(&step), 0);
        QCOMPARE(step, 0);
        // Non-blocking from the start: a plain read with nothing waiting fails at once.
        char nothing;
        QCOMPARE(::recv(discovery.socket().fd(), &nothing, 1, 0), ssize_t(-1));
        QVERIFY(wouldBlock(errno));
        int replies = 0;
        QCOMPARE(discovery.watch([&replies] { ++replies; }), 0);
        QCOMPARE(discovery.sendDiscoverPacket(), 0);
        QByteArray packet;
        quint16 from = 0;
        QVERIFY(server.receive(packet, 5000, &from));
        QCOMPARE(packet.toHex(), DISCOVER_PACKET.toHex());
        QCOMPARE(DiscoverPacket(), DISCOVER_PACKET);
        QCOMPARE(from, localPort(discovery.socket().fd()));

        QByteArray reply = discoveryReply(ip(192, 168, 0, 1), 512);
        reply[0] = '\xFF';
        QVERIFY(server.sendTo(from, reply));
        QTRY_VERIFY_WITH_TIMEOUT(replies > 0, 5000);
        char buffer[DISCOVERY_REPLY_SIZE];
        int error = 0;
        QCOMPARE(discovery.readReply(buffer, sizeof buffer, &error), 512L);
        DiscoveryReply read;
        QVERIFY(readDiscoveryReply(buffer, 512, read));
        QCOMPARE(FormatIPAddress(read.serverAddress), QByteArray("192.168.0.1"));
        QVERIFY(!readDiscoveryReply(buffer, 4, read));
        QCOMPARE(encodeDiscoveryReply(ip(10, 0, 0, 7), "fw"), discoveryReply(ip(10, 0, 0, 7)));
    }

    void eachDetectionOpensAFreshSocketAndFailedStepsAreNamed()
    {
        // Qt's plain Unix dispatcher (QT_NO_GLIB=1) warns of two notifiers on one descriptor.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        int step = 0;
        QSet<quint16> ports;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
            ports << localPort(m_discovery.socket().fd());
        }
        QCOMPARE(ports.size(), 3);
        int first = 0;
        int second = 0;
        QCOMPARE(m_discovery.watch([&first] { ++first; }), 0);
        QCOMPARE(m_discovery.watch([&second] { ++second; }), 0);
        QVERIFY(LoopbackPeer().sendTo(localPort(m_discovery.socket().fd()), "x"));
        QTRY_VERIFY_WITH_TIMEOUT(second > 0, 5000);
        QCOMPARE(first, 0);
        m_discovery.CloseDiscoverySocket();
        m_discovery.CloseDiscoverySocket();
        QVERIFY(!m_discovery.socket().isOpen());

        // No descriptor left to the process: the socket cannot be created.
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit none = saved;
        none.rlim_cur = 0;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &none), 0);
        const int result = m_discovery.OpenDiscoverySocket(&step);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(result, EMFILE);
        QCOMPARE(step, 1);
        QVERIFY(!m_discovery.socket().isOpen());

        m_lookup.getName = [](char*, std::size_t) {
            errno = ENAMETOOLONG;
            return -1;
        };
        QCOMPARE(m_discovery.OpenDiscoverySocket(&step), ENAMETOOLONG);
        QCOMPARE(step, 4);
        QVERIFY(!m_discovery.socket().isOpen());
        m_lookup.getName = HostLookup::system().getName;
        m_lookup.resolve = [](const char*) { return false; };
        QCOMPARE(m_discovery.OpenDiscoverySocket(&step), EHOSTUNREACH);
        QCOMPARE(step, 5);
        QVERIFY(!m_discovery.socket().isOpen());
    }
};

QTEST_MAIN(NetTest)
#include "tst_net.moc"
