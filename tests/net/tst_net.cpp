// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "events/EventRecord.h"
#include "net/Discovery.h"
#include "net/Endpoint.h"

#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <sys/socket.h>

namespace
{

// A read as "LENGTH USER", or "EAGAIN " or "EMSGSIZE " when it failed.
QString readOne(const UdpSocket& socket)
{
    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    const long n = receiveDatagram(socket, buffer, sizeof buffer, &error);
    if (n >= 0)
        return QString::number(n) + ' ' + QString::fromLatin1(buffer + 4, int(qstrnlen(buffer + 4, 40)));
    return error == EAGAIN ? "EAGAIN " : error == EMSGSIZE ? "EMSGSIZE " : "? ";
}

} // namespace

class NetTest : public QObject
{
    Q_OBJECT

    const LoopbackPeer m_server{0, INADDR_ANY}; // a firewall behind the loopback broadcast address
    EndpointSettings m_settings = [this] {
        EndpointSettings settings;
        settings.discoveryAddress = 0x7FFFFFFF; // 127.255.255.255
        settings.discoveryPort = m_server.port();
        return settings;
    }();
    // Any host name resolves: the failures of the lookup are checked through the window's boxes.
    DiscoveryEndpoint m_discovery{m_settings,
                                  {HostLookup::system().getName, [](const char*) { return true; }}};

private slots:
    void eventSocketQueuesDatagramsInOrderAndRefusesLongOnes()
    {
        // A port another program holds: checked by the headless start.
        UdpSocket socket;
        int notified = 0;
        m_settings.eventPort = freeUdpPort();
        QCOMPARE(OpenEventSocket(
                     socket, m_settings, [&] { ++notified; }, nullptr),
                 0);
        QCOMPARE(readOne(socket), "EAGAIN ");

        const LoopbackPeer firewall;
        QStringList sent;
        for (int i = 1; i <= 5; ++i) {
            sent << QStringLiteral("157 user%1").arg(i);
            firewall.sendTo(m_settings.eventPort, eventDatagram(quint8(i), "user" + QByteArray::number(i)));
        }
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "whole").leftJustified(512, 'x'));
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "too long").leftJustified(513, 'x'));
        firewall.sendTo(m_settings.eventPort, eventDatagram(0, "after"));
        sent += QStringList{"512 whole", "EMSGSIZE ", "157 after", "EAGAIN "};
        QStringList read;
        while (read.size() < sent.size()) {
            // Each datagram is announced while it waits.
            notified = 0;
            if (read.size() < sent.size() - 1)
                QVERIFY(QTest::qWaitFor([&] { return notified > 0; }, 5000));
            read << readOne(socket);
        }
        QCOMPARE(read, sent);
    }

    void eachDetectionOpensAFreshSocketThatSendsAndReads()
    {
        // Qt's plain Unix dispatcher (QT_NO_GLIB=1) warns of two notifiers on one descriptor.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        int step = 0;
        QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
        const quint16 first = boundPort(m_discovery.socket().fd());
        QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
        QVERIFY(boundPort(m_discovery.socket().fd()) != first);
        // Non-blocking from the start: a plain read with nothing waiting fails at once.
        char nothing;
        QCOMPARE(::recv(m_discovery.socket().fd(), &nothing, 1, 0), ssize_t(-1));
        QCOMPARE(errno, EAGAIN); // EWOULDBLOCK on Linux
        int replaced = 0, replies = 0;
        QCOMPARE(m_discovery.watch([&replaced] { ++replaced; }), 0);
        QCOMPARE(m_discovery.watch([&replies] { ++replies; }), 0);
        // The send to a broadcast address needs the broadcast option.
        QCOMPARE(m_discovery.sendDiscoverPacket(), 0);
        QByteArray packet;
        quint16 from = 0;
        QVERIFY(m_server.receive(packet, 5000, &from));
        QCOMPARE(packet.toHex(), DISCOVER_PACKET.toHex());

        // Any packet type, up to the reply buffer's size.
        QByteArray reply = discoveryReply(ip(192, 168, 0, 1), 512);
        reply[0] = '\xFF';
        QVERIFY(m_server.sendTo(from, reply));
        QTRY_VERIFY_WITH_TIMEOUT(replies > 0, 5000);
        QCOMPARE(replaced, 0);
        char buffer[DISCOVERY_REPLY_SIZE];
        int error = 0;
        QCOMPARE(m_discovery.readReply(buffer, sizeof buffer, &error), 512L);
        QCOMPARE(QByteArray(buffer, 512), reply);
        m_discovery.CloseDiscoverySocket();
        m_discovery.CloseDiscoverySocket();
        QVERIFY(!m_discovery.socket().isOpen());
    }
};

QTEST_MAIN(NetTest)
#include "tst_net.moc"
