// SPDX-License-Identifier: GPL-3.0-or-later
#include "Collector.h"

#include "forward/ForwardCredentials.h"
#include "forward/Forwarder.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>

namespace
{

// 2026-12-06 04:15:02.123456 UTC: 09:45:02.123456 in the test's time zone (+05:30).
constexpr qint64 ARRIVAL = 1796530502123456;
constexpr char ARRIVAL_TEXT[] = "2026-12-06T09:45:02.123456+05:30";

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
    std::unique_ptr<Collector> m_collector; // UDP, TCP and TLS, shared by the tests that only add to it
    int m_collectors = 0;

    QString newDir() { return m_dir.filePath(QString::number(++m_collectors)); }

    // TLS verified against the shared collector's CA, or the system's.
    ForwardOptions optionsFor(const QString& url, std::size_t capacity = 100000, bool ownCa = true) const
    {
        ForwardOptions options;
        options.targets.push_back(*parseForwardUrl(url));
        options.queueCapacity = capacity;
        if (ownCa)
            options.tls.caCertificates = readCaCertificates(m_collector->caFile());
        return options;
    }

private slots:
    void initTestCase()
    {
        // An offset with minutes, so that the timestamp's offset is checked in full.
        qputenv("TZ", "IST-5:30");
        tzset();
        m_collector = std::make_unique<Collector>(newDir());
        QCOMPARE(m_collector->start(), QString());
    }

    void forwardUrls()
    {
        // Accepted forms and lower-cased host names are shown by test_app's command line.
        // Without a port, the registered ones; what travels on is the parsed address, never the text.
        for (const auto& [given, read] : {std::pair{"tls://[::1]:6514", "tls://[::1]:6514"},
                                          {"tls://[::1]", "tls://[::1]:6514"},
                                          {"udp://Collector", "udp://collector:514"},
                                          {"tls://10.0.0.9", "tls://10.0.0.9:6514"},
                                          {"udp://0.0.0.0:1", "udp://0.0.0.0:1"}})
            QCOMPARE(parseForwardUrl(given)->url(), read);
        for (const char* refused :
             {"tcp://:514", "udp://collector:0", "udp://collector:65536", "http://collector:80",
              "udp://10.1:514", "tcp://me@collector:514", "tls://[::g]:6514", "tcp://collector",
              "tcp://[::1]", "udp://127.0.0.010:5514", "udp://010.0.0.1", "udp://0x7f.0.0.1:514",
              "udp://0177.0.0.1", "udp://127.1", "udp://2130706433", "tls://0x7f000001"})
            QVERIFY2(!parseForwardUrl(refused), refused);
    }

    void widestEventFitsItsMessageAndTimestampsWestOfUtc()
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

        // The day before in a zone behind UTC, and a fraction with leading zeros.
        qputenv("TZ", "XST3");
        tzset();
        const QByteArray stamp = rfc3339Timestamp(1772326923000042); // 2026-03-01 01:02:03 UTC
        qputenv("TZ", "IST-5:30");
        tzset();
        QCOMPARE(stamp, "2026-02-28T22:02:03.000042-03:00");
    }

    void everyFieldArrivesAsSent_data()
    {
        QTest::addColumn<quint16>("port");
        QTest::newRow("udp") << m_collector->udpPort;
        QTest::newRow("tcp") << m_collector->tcpPort;
        QTest::newRow("tls") << m_collector->tlsPort;
    }

    void everyFieldArrivesAsSent()
    {
        QFETCH(quint16, port);
        const QString input = port == m_collector->udpPort ? "imudp" : "imtcp";
        const std::tuple<quint32, int, const char*, const char*> kinds[] = {
            {0, 6, "LoggedOn", "Logged on"},
            {1, 6, "LoggedOff", "Logged off"},
            {2, 4, "AccountLockedUp", "Account Locked Up"},
            {3, 5, "TryingInvalidUserNames", "Trying invalid User Names"},
            {4, 5, "TryingInvalidPasswords", "Trying invalid Passwords"},
            {5, 4, "AccountIsDisabled", "Account is disabled"},
            {6, 4, "FirewallRebooted", "Firewall Rebooted"},
            {7, 5, "AccessingFilteredSites", "Accesing Filtered Sites"},
            {8, 4, "AccountMarkedForLockUp", "Account Marked for LockUp"},
            {9, 6, "AccessTimeExpired", "Access time Expired"},
            {12, 5, "Unknown", "Unknown event 12"},
        };
        // One user name holds every character that needs escaping, and one above 127 (Latin-1).
        EventBatch batch;
        batch.arrivalMicros = ARRIVAL;
        for (const auto& [code, severity, msgId, text] : kinds) {
            const quint8 host = quint8(code + 1);
            batch.events.push_back(makeEvent(code,
                                             code == 4 ? "a\"b\\c]d\xE9" : "user" + QByteArray::number(host),
                                             code == 4 ? "Gr\xFCn" : "Staff", host));
        }
        const int before = m_collector->count();
        {
            Forwarder forwarder(
                optionsFor(QStringLiteral("%1://127.0.0.1:%2").arg(QTest::currentDataTag()).arg(port)));
            forwarder.forwardEvents(batch);
            // A message made elsewhere (an alert) goes with its own fields, after the events.
            forwarder.forwardMessage(
                {Severity::Warning, {}, "10.0.0.9", "Alert", {}, "Three failed log-ons: \xC3\xA9ve"});
            QVERIFY(forwarder.finish(10000));
            QCOMPARE(forwarder.conditions(), QStringList());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + int(std::size(kinds)) + 1, 10000);
        const QList<QJsonObject> received = m_collector->messages().mid(before);
        for (std::size_t i = 0; i < std::size(kinds); ++i) {
            const auto [code, severity, msgId, kindText] = kinds[i];
            const QString host = QString::number(code + 1);
            const QString user = code == 4 ? QStringLiteral("a\"b\\c]d\u00E9") : "user" + host;
            const QString data = QStringLiteral("[event@32473 code=\"%1\" user=\"%2\" group=\"%3\" "
                                                "address=\"192.168.5.%4\" loginTime=\"09:15:02\" "
                                                "date=\"12/06/2026\" time=\"09:45:01\"]")
                                     .arg(code)
                                     .arg(code == 4 ? QStringLiteral("a\\\"b\\\\c\\]d\u00E9") : user,
                                          code == 4 ? QStringLiteral("Gr\u00FCn") : "Staff", host);
            const QString text = QStringLiteral("%1: %2 from 192.168.5.%3").arg(kindText, user, host);
            QCOMPARE(
                values(received[qsizetype(i)],
                       {"inputname", "syslogfacility", "syslogseverity", "protocol-version", "timereported",
                        "hostname", "app-name", "procid", "msgid", "structured-data", "msg", "rawmsg"}),
                QStringList({input, "10", QString::number(severity), "1", ARRIVAL_TEXT, "10.0.0." + host,
                             "sorvane", "-", msgId, data, QChar(0xFEFF) + text,
                             QStringLiteral("<%1>1 %2 10.0.0.%3 sorvane - %4 %5 \uFEFF%6")
                                 .arg(80 + severity)
                                 .arg(QLatin1String(ARRIVAL_TEXT), host, QLatin1String(msgId), data, text)}));
        }
        // The alert's time is its own: now, in the local offset.
        const QJsonObject m = received.last();
        QCOMPARE(values(m, {"syslogseverity", "hostname", "msgid", "structured-data", "msg"}),
                 QStringList({"4", "10.0.0.9", "Alert", "-",
                              QStringLiteral("\uFEFFThree failed log-ons: \u00E9ve")}));
        QCOMPARE(m.value("timereported").toString().right(6), "+05:30");
    }

    void tlsVerificationFailuresAreErrors_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("ownCa");
        QTest::addColumn<bool>("pinned");     // the CA's fingerprint, which the collector does not show
        QTest::addColumn<QString>("failure"); // how the reason starts
        QTest::addColumn<QString>("option");  // and ends: the option in force
        QTest::newRow("wrong host name")
            << "localhost" << true << false
            << "The host name did not match any of the valid hosts for this certificate"
            << " (checked against --forward-ca)";
        QTest::newRow("unknown issuer") << "127.0.0.1" << false << false << ""
                                        << " (checked against the system's CAs, as no --forward-ca is given)";
        QTest::newRow("not pinned") << "127.0.0.1" << false << true << "the collector's certificate SHA256:"
                                    << " matches no --forward-fingerprint";
        QTest::newRow("not pinned, though trusted")
            << "127.0.0.1" << true << true << "the collector's certificate SHA256:"
            << " matches no --forward-fingerprint";
    }

    void tlsVerificationFailuresAreErrors()
    {
        QFETCH(QString, host);
        QFETCH(bool, ownCa);
        QFETCH(bool, pinned);
        QFETCH(QString, failure);
        QFETCH(QString, option);
        const QString url = QStringLiteral("tls://%1:%2").arg(host).arg(m_collector->tlsPort);
        const int before = m_collector->count();
        {
            ForwardOptions options = optionsFor(url, 100000, ownCa);
            if (pinned)
                options.tls.fingerprints = {readCaCertificates(m_collector->caFile())
                                                .constFirst()
                                                .digest(QCryptographicHash::Sha256)};
            Forwarder forwarder(options);
            forwarder.forwardEvents(numbered(0, 5));
            QTRY_VERIFY_WITH_TIMEOUT(!forwarder.conditions().isEmpty(), 10000);
            const QString condition = forwarder.conditions().constFirst();
            QVERIFY2(condition.startsWith("forwarding to " + url + " failed: " + failure),
                     qPrintable(condition));
            QVERIFY2(condition.endsWith(option), qPrintable(condition));
            QVERIFY(!forwarder.finish(300));
            QCOMPARE(forwarder.notForwarded(), quint64(5));
        }
        // A marker through a verified connection comes after anything the one above sent: nothing
        // of a failed one may be there, in clear text or otherwise.
        {
            Forwarder marker(optionsFor(QStringLiteral("tls://127.0.0.1:%1").arg(m_collector->tlsPort), 10));
            marker.forwardEvents(numbered(999, 1));
            QVERIFY(marker.finish(10000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + 1, 10000);
        QCOMPARE(m_collector->numbers().mid(before), QList<int>{999});
    }

    void clientCertificatesAndPinnedCollectors()
    {
        Collector collector(newDir(), true);
        QCOMPARE(collector.start(), QString());
        TlsOptions identity;
        QCOMPARE(readClientIdentity(collector.file("client.pem"), collector.file("client.key"), identity),
                 QString());
        // The self-signed certificate names no host: only its fingerprint vouches for it.
        const QStringList urls = {QStringLiteral("tls://127.0.0.1:%1").arg(collector.tlsPort),
                                  QStringLiteral("tls://localhost:%1").arg(collector.pinnedPort)};
        QList<int> expected;
        for (const bool certified : {false, true}) {
            for (const QString& url : urls) {
                ForwardOptions options = optionsFor(url);
                options.tls = identity;
                if (!certified)
                    options.tls.clientKey.reset();
                if (url == urls[0])
                    options.tls.caCertificates = readCaCertificates(collector.caFile());
                else
                    options.tls.fingerprints = {readCaCertificates(collector.file("self.pem"))
                                                    .constFirst()
                                                    .digest(QCryptographicHash::Sha256)};
                Forwarder forwarder(options);
                QSignalSpy changes(&forwarder, &Forwarder::statusChanged);
                const int first = int(expected.size()) + (certified ? 0 : 100);
                forwarder.forwardEvents(numbered(first, 5));
                if (certified) {
                    QVERIFY(forwarder.finish(10000));
                    QCOMPARE(forwarder.conditions(), QStringList());
                    for (int i = first; i < first + 5; ++i)
                        expected << i;
                    continue;
                }
                // Each connection is dropped after the handshake: the reason shows, once, and nothing
                // sent is taken for delivered.
                QTRY_VERIFY_WITH_TIMEOUT(!forwarder.conditions().isEmpty(), 10000);
                QCOMPARE(
                    forwarder.conditions(),
                    QStringList("forwarding to " + url +
                                " failed: the collector closed the connection after the TLS handshake: it "
                                "may want a client certificate (--forward-cert, --forward-key)"));
                QVERIFY(!forwarder.finish(300));
                QCOMPARE(forwarder.notForwarded(), quint64(5));
                QCOMPARE(changes.count(), 1);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(collector.numbers(), expected, 10000);
    }

    void collectorRestartKeepsOrderAndDeliversWhatWaited_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("stopped") << int(SIGTERM);
        // Killed: the connection is reset, and what the collector had read but not written is gone.
        QTest::newRow("killed") << int(SIGKILL);
    }

    void collectorRestartKeepsOrderAndDeliversWhatWaited()
    {
        QFETCH(int, signal);
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
        collector.stop(signal);
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

    void droppedConnectionsBackOffAndStayFailed()
    {
        QTcpServer collector; // takes each connection and closes it at once
        QVERIFY(collector.listen(QHostAddress::LocalHost));
        int connections = 0;
        connect(&collector, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* connection = collector.nextPendingConnection()) {
                ++connections;
                connection->close();
                connection->deleteLater();
            }
        });
        const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(collector.serverPort());
        Forwarder forwarder(optionsFor(url));
        QSignalSpy changes(&forwarder, &Forwarder::statusChanged);
        forwarder.forwardEvents(numbered(0, 5));
        QTest::qWait(10000);
        QVERIFY2(connections <= 6, qPrintable(QString::number(connections)));
        // The failure showed once and stayed.
        QCOMPARE(changes.count(), 1);
        QCOMPARE(forwarder.conditions(),
                 QStringList("forwarding to " + url + " failed: The remote host closed the connection"));
        QVERIFY(!forwarder.finish(300));
        QCOMPARE(forwarder.notForwarded(), quint64(5));
    }

    void unreachableOrStalledCollectorsNeverBlock()
    {
        // A datagram to a port nobody reads comes back refused: counted, and shown.
        const QString udpUrl = QStringLiteral("udp://127.0.0.1:%1").arg(freeLoopbackPort(false));
        Forwarder datagrams(optionsFor(udpUrl, 1000));
        int sent = 0;
        QTRY_VERIFY_WITH_TIMEOUT((datagrams.forwardEvents(numbered(sent++, 1)), datagrams.notForwarded() > 0),
                                 10000);
        QCOMPARE(datagrams.conditions(),
                 QStringList("forwarding to " + udpUrl + " failed: Connection refused"));

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
