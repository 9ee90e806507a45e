#include "events/EventRecord.h"
#include "net/Discovery.h"
#include "net/Endpoint.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

sockaddr_in ipv4(quint32 address, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

quint16 localPort(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? ntohs(a.sin_port) : 0;
}

// A plain POSIX datagram socket of the test's own: a firewall server, or another program.
class Peer
{
public:
    Peer() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_in any = ipv4(INADDR_ANY, 0);
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    }
    ~Peer() { ::close(m_fd); }
    bool bound() const { return m_bound; }
    quint16 port() const { return localPort(m_fd); }
    bool sendTo(const sockaddr_in& to, const QByteArray& data) const
    {
        return ::sendto(m_fd, data.constData(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == data.size();
    }
    bool sendToLoopback(quint16 port, const QByteArray& data) const
    {
        return sendTo(ipv4(INADDR_LOOPBACK, port), data);
    }
    // One waiting datagram, or an empty array when none waits.
    QByteArray receive(sockaddr_in* from) const
    {
        char buffer[1024];
        socklen_t length = sizeof *from;
        const ssize_t n =
            ::recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &length);
        return n < 0 ? QByteArray() : QByteArray(buffer, n);
    }

private:
    int m_fd;
    bool m_bound = false;
};

QByteArray eventDatagram(const QByteArray& name, quint32 code = LoggedOn)
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH, name);
    return encodeEvent(record);
}

bool wouldBlock(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN;
}

// A read that must find nothing waiting.
bool readFindsNothing(const UdpSocket& socket)
{
    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    return receiveDatagram(socket, buffer, sizeof buffer, &error) == -1 && wouldBlock(error);
}

} // namespace

class NetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void burstOfFiveGivesFiveRecordsInOrder();
    void datagramOver512IsConsumedAndTheNextIsRead();
    void notificationRunsWhileDatagramsWait();
    void receiveBufferHoldsFourMiBWhereAllowed();
    void eventPortHeldByAnotherSocketFailsSilently();

    void discoveryReachesLoopbackServerAndReadsItsReply();
    void registeringAgainReplacesTheNotification();
    void threeDetectionsUseThreeDifferentPorts();
    void failedStepsAreNamedAndLeaveNothingOpen();
    void closingDiscoveryTwiceIsHarmless();
    void discoveryDatagramsAreByteExact();

private:
    long receiveEvent(char* buffer, int* error);

    quint16 m_eventPort = 0;
    int m_notified = 0;
    EndpointSettings m_settings;
    UdpSocket m_eventSocket;
    HostLookup m_lookup; // what the discovery endpoint asks; reset before each test
    DiscoveryEndpoint m_discovery{
        m_settings,
        {[this](char* buffer, std::size_t size) { return m_lookup.getName(buffer, size); },
         [this](const char* name) { return m_lookup.resolve(name); }}};
};

void NetTest::init()
{
    m_lookup = {HostLookup::system().getName, [](const char*) { return true; }};
}

void NetTest::initTestCase()
{
    m_eventPort = Peer().port();
    m_settings.eventPort = m_eventPort;
    int error = 12345;
    QCOMPARE(OpenEventSocket(
                 m_eventSocket, m_settings, [this] { ++m_notified; }, &error),
             0);
    QCOMPARE(error, 12345);
    QCOMPARE(localPort(m_eventSocket.fd()), m_eventPort);
}

void NetTest::cleanupTestCase()
{
    m_eventSocket.close();
    m_discovery.CloseDiscoverySocket();
}

// The next event datagram; waits for its notification when none is queued yet.
long NetTest::receiveEvent(char* buffer, int* error)
{
    long n = receiveDatagram(m_eventSocket, buffer, MAX_DATAGRAM_SIZE, error);
    if (n < 0 && wouldBlock(*error)) {
        m_notified = 0;
        if (QTest::qWaitFor([this] { return m_notified > 0; }, 5000))
            n = receiveDatagram(m_eventSocket, buffer, MAX_DATAGRAM_SIZE, error);
    }
    return n;
}

void NetTest::burstOfFiveGivesFiveRecordsInOrder()
{
    QVERIFY(readFindsNothing(m_eventSocket));
    Peer server;
    for (int i = 1; i <= 5; ++i)
        QVERIFY(
            server.sendToLoopback(m_eventPort, eventDatagram("user" + QByteArray::number(i), quint32(i))));

    for (int i = 1; i <= 5; ++i) {
        char buffer[MAX_DATAGRAM_SIZE];
        int error = 0;
        QCOMPARE(receiveEvent(buffer, &error), 157L);
        const EventRecord record = decodeEvent(buffer, 157);
        QCOMPARE(QByteArray(record.Username), "user" + QByteArray::number(i));
        QCOMPARE(record.EventCode, quint32(i));
    }
    QVERIFY(readFindsNothing(m_eventSocket));
}

void NetTest::datagramOver512IsConsumedAndTheNextIsRead()
{
    Peer server;
    const QByteArray event = eventDatagram("after");
    QVERIFY(server.sendToLoopback(m_eventPort, event.leftJustified(512, 'x')));
    QVERIFY(server.sendToLoopback(m_eventPort, event.leftJustified(513, 'x')));
    QVERIFY(server.sendToLoopback(m_eventPort, event));

    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    QCOMPARE(receiveEvent(buffer, &error), 512L);
    QCOMPARE(receiveEvent(buffer, &error), -1L);
    QCOMPARE(error, EMSGSIZE);
    QCOMPARE(receiveEvent(buffer, &error), 157L);
    QCOMPARE(QByteArray(decodeEvent(buffer, 157).Username), QByteArray("after"));
    QVERIFY(readFindsNothing(m_eventSocket));
}

void NetTest::notificationRunsWhileDatagramsWait()
{
    Peer server;
    m_notified = 0;
    QVERIFY(server.sendToLoopback(m_eventPort, eventDatagram("one")));
    QVERIFY(server.sendToLoopback(m_eventPort, eventDatagram("two")));
    QTRY_VERIFY_WITH_TIMEOUT(m_notified > 0, 5000);

    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    QCOMPARE(receiveDatagram(m_eventSocket, buffer, sizeof buffer, &error), 157L);
    // The second one is announced again after the first read.
    m_notified = 0;
    QTRY_VERIFY_WITH_TIMEOUT(m_notified > 0, 5000);
    QCOMPARE(receiveDatagram(m_eventSocket, buffer, sizeof buffer, &error), 157L);
    QCOMPARE(QByteArray(decodeEvent(buffer, 157).Username), QByteArray("two"));
}

void NetTest::receiveBufferHoldsFourMiBWhereAllowed()
{
    QFile cap(QStringLiteral("/proc/sys/net/core/rmem_max"));
    if (!cap.open(QIODevice::ReadOnly))
        QSKIP("net.core.rmem_max is not readable here");
    const int allowed = cap.readAll().trimmed().toInt();
    int granted = 0;
    socklen_t length = sizeof granted;
    QCOMPARE(::getsockopt(m_eventSocket.fd(), SOL_SOCKET, SO_RCVBUF, &granted, &length), 0);
    // Linux reports twice what it grants.
    QVERIFY2(granted / 2 >= std::min(EVENT_RECEIVE_BUFFER, allowed),
             qPrintable(QStringLiteral("granted %1, allowed %2").arg(granted / 2).arg(allowed)));
}

void NetTest::eventPortHeldByAnotherSocketFailsSilently()
{
    const Peer otherProgram;
    QVERIFY(otherProgram.bound());
    m_settings.eventPort = otherProgram.port();
    int error = 12345;
    QCOMPARE(OpenEventSocket(
                 m_eventSocket, m_settings, [] {}, &error),
             -1);
    QCOMPARE(error, 12345);
    QVERIFY(!m_eventSocket.isOpen());

    m_settings.eventPort = m_eventPort;
    QCOMPARE(OpenEventSocket(
                 m_eventSocket, m_settings, [this] { ++m_notified; }, &error),
             0);
}

void NetTest::discoveryReachesLoopbackServerAndReadsItsReply()
{
    // A server behind the loopback broadcast address; the send needs the broadcast option.
    const Peer server;
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
    const quint16 discoveryPort = localPort(discovery.socket().fd());
    QVERIFY(discoveryPort != 0);
    int replies = 0;
    QCOMPARE(discovery.watch([&replies] { ++replies; }), 0);
    QVERIFY(readFindsNothing(discovery.socket()));
    QCOMPARE(discovery.sendDiscoverPacket(), 0);
    const QByteArray packet = DiscoverPacket();
    sockaddr_in from{};
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] { return !(received = server.receive(&from)).isEmpty(); }, 5000));
    QCOMPARE(received, packet);
    QCOMPARE(ntohs(from.sin_port), discoveryPort);

    QByteArray reply =
        encodeDiscoveryReply(ipAddressFromBytes(0xC0, 0xA8, 0, 1), "fw").leftJustified(512, 'z');
    reply[0] = '\xFF';
    QVERIFY(Peer().sendTo(from, reply));
    QTRY_VERIFY_WITH_TIMEOUT(replies > 0, 5000);
    char buffer[DISCOVERY_REPLY_SIZE];
    int error = 0;
    QCOMPARE(receiveDatagram(discovery.socket(), buffer, sizeof buffer, &error), 512L);
    DiscoveryReply read;
    QVERIFY(readDiscoveryReply(buffer, 512, read));
    QCOMPARE(FormatIPAddress(read.serverAddress), QByteArray("192.168.0.1"));
}

void NetTest::registeringAgainReplacesTheNotification()
{
    // Qt's plain Unix dispatcher (QT_NO_GLIB=1) warns of two notifiers on one descriptor.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    int step = 0;
    QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
    int first = 0;
    int second = 0;
    QCOMPARE(m_discovery.watch([&first] { ++first; }), 0);
    QCOMPARE(m_discovery.watch([&second] { ++second; }), 0);
    QVERIFY(Peer().sendToLoopback(localPort(m_discovery.socket().fd()), "x"));
    QTRY_VERIFY_WITH_TIMEOUT(second > 0, 5000);
    QCOMPARE(first, 0);
    m_discovery.CloseDiscoverySocket();
}

void NetTest::threeDetectionsUseThreeDifferentPorts()
{
    int step = 0;
    QSet<quint16> ports;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
        ports << localPort(m_discovery.socket().fd());
    }
    QCOMPARE(ports.size(), 3);
    QVERIFY(!ports.contains(0));
}

void NetTest::failedStepsAreNamedAndLeaveNothingOpen()
{
    int step = 0;
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
    QVERIFY(m_discovery.OpenDiscoverySocket(&step) != 0);
    QCOMPARE(step, 5);
    QVERIFY(!m_discovery.socket().isOpen());
}

void NetTest::closingDiscoveryTwiceIsHarmless()
{
    int step = 0;
    QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
    m_discovery.CloseDiscoverySocket();
    m_discovery.CloseDiscoverySocket();
    QVERIFY(!m_discovery.socket().isOpen());
    QCOMPARE(m_discovery.OpenDiscoverySocket(&step), 0);
    QVERIFY(m_eventSocket.isOpen());
}

void NetTest::discoveryDatagramsAreByteExact()
{
    QCOMPARE(DiscoverPacket(), QByteArray::fromHex("0100000000303030303030303030303030"
                                                   "446973636F766572205061636B6574" // "Discover Packet"
                                                   "00"));
    DiscoveryReply reply;
    QVERIFY(!readDiscoveryReply("\x02\x0A\x00\x00", 4, reply));
    QVERIFY(readDiscoveryReply("\x02\x0A\x00\x00\x07", 5, reply));
    QCOMPARE(FormatIPAddress(reply.serverAddress), QByteArray("10.0.0.7"));
}

QTEST_MAIN(NetTest)
#include "tst_net.moc"
