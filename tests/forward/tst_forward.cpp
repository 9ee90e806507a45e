// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Collector.h"
#include "common/LoopbackPeer.h"

#include "forward/ForwardCredentials.h"
#include "forward/Forwarder.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <ctime>

namespace
{

// 2026-12-06 02:15:02.012345 UTC: the day before in the test's time zone, west of UTC by 3:30.
constexpr qint64 ARRIVAL = 1796523302012345;
constexpr char ARRIVAL_TEXT[] = "2026-12-05T22:45:02.012345-03:30";

EventRecord makeEvent(quint32 code, const QByteArray& user, const QByteArray& group = "Staff",
                      quint8 host = 1)
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH, user);
    setField(record.Groupname, GROUPNAME_WIDTH, group);
    setField(record.LoginTime, LOGINTIME_WIDTH, "09:15:02");
    setField(record.Date, DATE_WIDTH, "12/06/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, "09:45:01");
    record.IPAddress = ipAddressFromBytes(192, 168, 5, host);
    record.ServerIPAddress = ipAddressFromBytes(10, 0, 0, host);
    return record;
}

// Events u<first> .. u<first + count - 1>, all log-ons.
EventBatch numbered(int first, int count)
{
    EventBatch batch;
    batch.arrivalMicros = ARRIVAL;
    for (int i = first; i < first + count; ++i)
        batch.events.push_back(makeEvent(LoggedOn, "u" + QByteArray::number(i)));
    return batch;
}

QStringList values(const QJsonObject& message, const QStringList& keys)
{
    QStringList list;
    for (const QString& key : keys)
        list << message.value(key).toString();
    return list;
}

} // namespace

class ForwardTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    // UDP, TCP and TLS for a client certificate, shared by the tests that only add to it.
    std::unique_ptr<Collector> m_collector;
    TlsOptions m_identity;
    int m_collectors = 0;

    QString newDir() { return m_dir.filePath(QString::number(++m_collectors)); }

    // With the client certificate; TLS verified against the shared collector's CA, or the system's.
    ForwardOptions optionsFor(const QString& url, std::size_t capacity = 100000, bool ownCa = true) const
    {
        ForwardOptions options;
        options.targets.push_back(*parseForwardUrl(url));
        options.queueCapacity = capacity;
        options.tls = m_identity;
        if (ownCa)
            options.tls.caCertificates = readCaCertificates(m_collector->file("ca.pem"));
        return options;
    }

    QByteArray fingerprint(const char* certificate) const
    {
        return readCaCertificates(m_collector->file(certificate))
            .constFirst()
            .digest(QCryptographicHash::Sha256);
    }

private slots:
    void initTestCase()
    {
        // An offset with minutes, so that the timestamp's offset is checked in full.
        qputenv("TZ", "NST3:30");
        tzset();
        m_collector = std::make_unique<Collector>(newDir(), true);
        QCOMPARE(m_collector->start(), QString());
        QCOMPARE(
            readClientIdentity(m_collector->file("client.pem"), m_collector->file("client.key"), m_identity),
            QString());
    }

    void widestEventFitsItsMessage()
    {
        // Every text field full, every byte one that takes two: escaped or in UTF-8.
        const QByteArray full = QByteArray("\"\xFF]\\").repeated(10);
        EventRecord record = makeEvent(0xFFFFFFFF, full, full);
        setField(record.LoginTime, LOGINTIME_WIDTH, full);
        setField(record.Date, DATE_WIDTH, full);
        setField(record.EventTime, EVENTTIME_WIDTH, full);
        record.IPAddress = record.ServerIPAddress = 0xFFFFFFFF;
        auto value = [](const char* field) {
            return QString::fromLatin1(field).replace("\\", "\\\\").replace("\"", "\\\"").replace("]", "\\]");
        };
        QCOMPARE(QString::fromUtf8(eventSyslogMessage(record, ARRIVAL_TEXT)),
                 QStringLiteral("<85>1 %1 255.255.255.255 sorvane - Unknown [event@32473 code=\"4294967295\" "
                                "user=\"%2\" group=\"%3\" address=\"255.255.255.255\" loginTime=\"%4\" "
                                "date=\"%5\" time=\"%6\"] \uFEFFUnknown event 4294967295: %7 from "
                                "255.255.255.255")
                     .arg(QLatin1String(ARRIVAL_TEXT), value(record.Username), value(record.Groupname),
                          value(record.LoginTime), value(record.Date), value(record.EventTime),
                          QString::fromLatin1(record.Username)));
    }

    void everyCodeArrivesAsSent_data()
    {
        QTest::addColumn<quint16>("port");
        QTest::newRow("udp") << m_collector->udpPort;
        QTest::newRow("tcp") << m_collector->tcpPort;
        QTest::newRow("tls") << m_collector->tlsPort;
    }

    void everyCodeArrivesAsSent()
    {
        QFETCH(quint16, port);
        // Every code and one past the table; a user with every character that needs escaping and
        // one above 127 (Latin-1).
        EventBatch batch;
        batch.arrivalMicros = ARRIVAL;
        for (quint32 code = 0; code <= EVENT_CODE_COUNT; ++code)
            batch.events.push_back(makeEvent(
                code, code == 1 ? "a\"b\\c]d\xE9" : "u" + QByteArray::number(code), "Gr\xFCn", quint8(code)));
        const int before = m_collector->count();
        {
            Forwarder forwarder(
                optionsFor(QStringLiteral("%1://127.0.0.1:%2").arg(QTest::currentDataTag()).arg(port)));
            forwarder.forwardEvents(batch);
            // A message made elsewhere (an alert) goes with its own fields, after the events.
            forwarder.forwardMessage(
                {Severity::Warning, {}, "10.0.0.99", "Alert", {}, "Three failed log-ons"});
            QVERIFY(forwarder.finish(10000));
            QCOMPARE(forwarder.conditions(), QStringList());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + int(batch.events.size()) + 1, 10000);
        const QList<QJsonObject> received = m_collector->messages().mid(before);
        const QString input = port == m_collector->udpPort ? "imudp" : "imtcp";
        // The collector takes each message's header where it stands, and the message whole.
        for (quint32 code = 0; code <= EVENT_CODE_COUNT; ++code) {
            const EventRecord& r = batch.events[code];
            QCOMPARE(values(received[code],
                            {"inputname", "syslogseverity", "timereported", "hostname", "msgid", "rawmsg"}),
                     QStringList({input, QString::number(int(eventCodeInfo(code).severity)), ARRIVAL_TEXT,
                                  "10.0.0." + QString::number(code),
                                  code < EVENT_CODE_COUNT ? eventKeyword(code) : "Unknown",
                                  QString::fromUtf8(eventSyslogMessage(r, ARRIVAL_TEXT))}));
        }
        // The alert's time is its own: now, in the local offset.
        const QJsonObject m = received.last();
        QCOMPARE(values(m, {"syslogseverity", "hostname", "msgid", "structured-data", "msg"}),
                 QStringList({"4", "10.0.0.99", "Alert", "-", QStringLiteral("\uFEFFThree failed log-ons")}));
        QCOMPARE(m.value("timereported").toString().right(6), "-03:30");
    }

    void tlsVerificationFailuresAreErrors_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("setup");   // "own CA", "pinned" (the CA's, which the collector does not
                                              // show), "uncertified" (no client certificate)
        QTest::addColumn<QString>("failure"); // how the reason starts
        QTest::addColumn<QString>("option");  // and ends: the option in force
        const QString pinned = "the collector's certificate SHA256:";
        QTest::newRow("wrong host name")
            << "localhost"
            << "own CA"
            << "The host name did not match any of the valid hosts for this certificate"
            << " (checked against --forward-ca)";
        QTest::newRow("unknown issuer") << "127.0.0.1"
                                        << ""
                                        << ""
                                        << " (checked against the system's CAs, as no --forward-ca is given)";
        QTest::newRow("not pinned") << "127.0.0.1"
                                    << "pinned" << pinned << " matches no --forward-fingerprint";
        QTest::newRow("not pinned, though trusted")
            << "127.0.0.1"
            << "own CA, pinned" << pinned << " matches no --forward-fingerprint";
        // The connection is dropped after the handshake.
        QTest::newRow("no client certificate")
            << "127.0.0.1"
            << "own CA, uncertified"
            << "the collector closed the connection after the TLS handshake"
            << ": it may want a client certificate (--forward-cert, --forward-key)";
    }

    void tlsVerificationFailuresAreErrors()
    {
        QFETCH(QString, host);
        QFETCH(QString, setup);
        QFETCH(QString, failure);
        QFETCH(QString, option);
        const QString url = QStringLiteral("tls://%1:%2").arg(host).arg(m_collector->tlsPort);
        const int before = m_collector->count();
        {
            ForwardOptions options = optionsFor(url, 100000, setup.contains("own CA"));
            if (setup.contains("pinned"))
                options.tls.fingerprints = {fingerprint("ca.pem")};
            if (setup.contains("uncertified"))
                options.tls.clientKey.reset();
            Forwarder forwarder(options);
            QSignalSpy changes(&forwarder, &Forwarder::statusChanged);
            forwarder.forwardEvents(numbered(0, 5));
            QTRY_VERIFY_WITH_TIMEOUT(!forwarder.conditions().isEmpty(), 10000);
            QCOMPARE(forwarder.conditions().size(), 1);
            const QString condition = forwarder.conditions().constFirst();
            QVERIFY2(condition.startsWith("forwarding to " + url + " failed: " + failure),
                     qPrintable(condition));
            QVERIFY2(condition.endsWith(option), qPrintable(condition));
            // Nothing sent is taken for delivered, and the reason shows once.
            QVERIFY(!forwarder.finish(300));
            QCOMPARE(forwarder.notForwarded(), quint64(5));
            QCOMPARE(changes.count(), 1);
        }
        // A marker through a connection verified by its pin alone (the self-signed certificate names no
        // host) comes after anything the one above sent: nothing of a failed one may be there.
        {
            ForwardOptions options =
                optionsFor(QStringLiteral("tls://localhost:%1").arg(m_collector->pinnedPort), 10, false);
            options.tls.fingerprints = {fingerprint("self.pem")};
            Forwarder marker(options);
            marker.forwardEvents(numbered(999, 1));
            QVERIFY(marker.finish(10000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + 1, 10000);
        QCOMPARE(m_collector->numbers().mid(before), QList<int>{999});
    }

    void collectorRestartKeepsOrderAndDeliversWhatWaited()
    {
        Collector collector(newDir());
        QCOMPARE(collector.start(), QString());
        const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort);
        Forwarder forwarder(optionsFor(url));
        // A steady flood from the event loop, as the pipeline would hand it on.
        int next = 0;
        int noticed = -1; // the first event queued after the forwarder noticed the break
        QTimer flood;
        connect(&flood, &QTimer::timeout, this, [&] {
            forwarder.forwardEvents(numbered(next, 200));
            next += 200;
        });
        connect(&forwarder, &Forwarder::statusChanged, this, [&] {
            if (noticed < 0 && !forwarder.conditions().isEmpty())
                noticed = next;
        });
        flood.start(1);
        QTRY_VERIFY_WITH_TIMEOUT(collector.count() >= 5000, 20000);
        // Killed: the connection is reset, and what the collector had read but not written is gone.
        collector.stop(SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(noticed >= 0, 10000);
        QVERIFY(forwarder.conditions().constFirst().startsWith("forwarding to " + url + " failed:"));
        const int restartAt = next + 5000;
        QTRY_VERIFY_WITH_TIMEOUT(next >= restartAt, 20000);
        // Paused while the collector starts: a slow start would otherwise flood past the queue's bound.
        flood.stop();
        QCOMPARE(collector.start(), QString());
        flood.start(1);
        const int stopAt = next + 20000;
        QTRY_VERIFY_WITH_TIMEOUT(next >= stopAt, 30000);
        flood.stop();
        QVERIFY(forwarder.finish(10000));
        QCOMPARE(forwarder.notForwarded(), quint64(0));

        // Everything queued after the break was noticed arrives, and the order is kept throughout; what
        // went to the old connection just before it broke may be lost (TCP syslog has no acknowledgement).
        QTRY_COMPARE_WITH_TIMEOUT(collector.numbers().constLast(), next - 1, 30000);
        const QList<int> received = collector.numbers();
        QVERIFY(std::is_sorted(received.begin(), received.end(), std::less_equal<int>())); // increasing
        const auto firstAfter = std::lower_bound(received.begin(), received.end(), noticed);
        QCOMPARE(int(received.end() - firstAfter), next - noticed);
    }

    void udpCollectorsByNameAndAfterRefusals()
    {
        // A name the lookup refuses without asking the network (a label past 63 letters): shown.
        const QString unnamed = QString(64, 'x');
        Forwarder lost(optionsFor("udp://" + unnamed));
        lost.forwardEvents(numbered(0, 1));
        QTRY_COMPARE(lost.conditions().size(), 1);
        QVERIFY2(lost.conditions()[0].startsWith("forwarding to udp://" + unnamed + ":514 failed: "),
                 qPrintable(lost.conditions()[0]));

        // Nobody reads the port yet: a refusal reports an earlier datagram lost, counted, and the
        // datagram that met it is sent again, the first after the collector came too.
        const quint16 port = freeUdpPort();
        const QString url = QStringLiteral("udp://localhost:%1").arg(port);
        Forwarder forwarder(optionsFor(url, 1000));
        int sent = 0;
        QTRY_VERIFY((forwarder.forwardEvents(numbered(sent++, 1)), forwarder.notForwarded() > 0));
        QCOMPARE(forwarder.conditions(), QStringList("forwarding to " + url + " failed: Connection refused"));
        QUdpSocket collector; // both families: the name may stand for ::1 too
        QVERIFY(collector.bind(QHostAddress::Any, port));
        const int firstAfter = sent;
        // The failure goes once sends have gone well for a while.
        QTRY_VERIFY_WITH_TIMEOUT(
            (forwarder.forwardEvents(numbered(sent++, 1)), forwarder.conditions().isEmpty()), 10000);
        QVERIFY(forwarder.finish(10000));
        int received = 0;
        while (collector.hasPendingDatagrams() && collector.receiveDatagram().isValid())
            ++received;
        QVERIFY2(received >= sent - firstAfter, qPrintable(QString::number(sent - firstAfter - received)));
    }

    void stalledCollectorsNeverBlock()
    {
        // A collector that takes connections but reads nothing: the kernel's buffers fill, then the
        // queue, then events are counted; nothing waits. The queue's bound holds what is in flight too.
        Collector collector(newDir());
        QCOMPARE(collector.start(), QString());
        collector.kill(SIGSTOP);
        Forwarder forwarder(optionsFor(QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort), 1000));
        constexpr int total = 100000;
        for (int i = 0; i < total; i += 500) {
            forwarder.forwardEvents(numbered(i, 500));
            QTest::qWait(5);
        }
        // Taken: the queue's 1000, and the few hundred that the stopped collector's kernel took.
        QVERIFY2(total - forwarder.notForwarded() < 2000,
                 qPrintable(QString::number(forwarder.notForwarded())));
        collector.kill(SIGCONT);
        QVERIFY(forwarder.finish(30000));
        QTRY_COMPARE_WITH_TIMEOUT(quint64(collector.count()) + forwarder.notForwarded(), quint64(total),
                                  30000);
        const QList<int> received = collector.numbers();
        QVERIFY(std::is_sorted(received.begin(), received.end(), std::less_equal<int>())); // increasing
    }
};

QTEST_GUILESS_MAIN(ForwardTest)
#include "tst_forward.moc"
