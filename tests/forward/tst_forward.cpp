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

EventRecord makeEvent(quint32 code, const QByteArray& user, quint8 host = 1)
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH, user);
    setField(record.Groupname, GROUPNAME_WIDTH, "Staff");
    record.IPAddress = ipAddressFromBytes(192, 168, 5, host);
    record.ServerIPAddress = ipAddressFromBytes(10, 0, 0, host);
    return record;
}

// Log-ons of users u<first> .. u<first + count - 1>.
EventBatch numbered(int first, int count)
{
    EventBatch batch{{}, ARRIVAL};
    for (int i = first; i < first + count; ++i)
        batch.events.push_back(makeEvent(LoggedOn, "u" + QByteArray::number(i)));
    return batch;
}

} // namespace

class ForwardTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Collector> m_collector;
    TlsOptions m_identity;

    // With the client certificate; TLS verified against the shared collector's CA.
    ForwardOptions optionsFor(const QString& url) const
    {
        ForwardOptions options;
        options.targets.push_back(*parseForwardUrl(url));
        options.tls = m_identity;
        options.tls.caCertificates = readCaCertificates(m_collector->file("ca.pem"));
        return options;
    }

    QByteArray fingerprint(const char* file) const
    {
        return readCaCertificates(m_collector->file(file)).constFirst().digest(QCryptographicHash::Sha256);
    }

private slots:
    void initTestCase()
    {
        // An offset with minutes, so that the timestamp's offset is checked in full.
        qputenv("TZ", "NST3:30");
        tzset();
        m_collector = std::make_unique<Collector>(m_dir.filePath("shared"));
        QCOMPARE(m_collector->start(), QString());
        QCOMPARE(
            readClientIdentity(m_collector->file("client.pem"), m_collector->file("client.key"), m_identity),
            QString());
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
        // Every code, then the widest event: each text field full of bytes that take two to send.
        EventBatch batch{{}, ARRIVAL};
        for (quint32 code = 0; code < EVENT_CODE_COUNT; ++code)
            batch.events.push_back(makeEvent(code, "u" + QByteArray::number(code), quint8(code)));
        const QByteArray full = QByteArray("\"\xFF]\\").repeated(10);
        EventRecord& w = batch.events.emplace_back(makeEvent(0xFFFFFFFF, full));
        for (auto [field, width] : {std::pair{w.Groupname, GROUPNAME_WIDTH},
                                    {w.LoginTime, LOGINTIME_WIDTH},
                                    {w.Date, DATE_WIDTH},
                                    {w.EventTime, EVENTTIME_WIDTH}})
            setField(field, width, full);
        w.IPAddress = w.ServerIPAddress = 0xFFFFFFFF;
        const int before = m_collector->count();
        {
            Forwarder forwarder(
                optionsFor(QStringLiteral("%1://127.0.0.1:%2").arg(QTest::currentDataTag()).arg(port)));
            forwarder.forwardEvents(batch);
            QVERIFY(forwarder.finish(10000));
            QCOMPARE(forwarder.conditions(), QStringList());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + int(batch.events.size()), 10000);
        const QList<QJsonObject> received = m_collector->messages().mid(before);
        // The collector takes each message's header where it stands, and the message whole.
        for (std::size_t i = 0; i < batch.events.size(); ++i) {
            const EventRecord& r = batch.events[i];
            QStringList got;
            for (const char* key :
                 {"inputname", "syslogseverity", "timereported", "hostname", "msgid", "rawmsg"})
                got << received[int(i)].value(key).toString();
            QCOMPARE(got, QStringList({port == m_collector->udpPort ? "imudp" : "imtcp",
                                       QString::number(int(eventCodeInfo(r.EventCode).severity)),
                                       ARRIVAL_TEXT, QString(FormatIPAddress(r.ServerIPAddress)),
                                       r.EventCode < EVENT_CODE_COUNT ? eventKeyword(r.EventCode) : "Unknown",
                                       QString::fromUtf8(eventSyslogMessage(r, ARRIVAL_TEXT))}));
            QVERIFY(got.last().contains(QStringLiteral("\"] \uFEFF"))); // the text is marked as UTF-8
        }
        auto f = [&](std::size_t width) {
            QString text = QString::fromLatin1(full.left(int(width)));
            return text.replace("\\", "\\\\").replace("\"", "\\\"").replace("]", "\\]");
        };
        QCOMPARE(received[int(EVENT_CODE_COUNT)].value("structured-data").toString(),
                 QStringLiteral("[event@32473 code=\"4294967295\" user=\"%1\" group=\"%2\" "
                                "address=\"255.255.255.255\" loginTime=\"%3\" date=\"%4\" time=\"%5\"]")
                     .arg(f(USERNAME_WIDTH), f(GROUPNAME_WIDTH), f(LOGINTIME_WIDTH), f(DATE_WIDTH),
                          f(EVENTTIME_WIDTH)));
        QVERIFY(syslogMessage({Severity::Notice, "", " !~\x7F", {}, {}, {}})
                    .startsWith("<85>1 - _!~_ sorvane - - - "));
    }

    void tlsVerificationFailuresAreErrors_data()
    {
        // The row's name is the set-up: "own CA" (else the system's), "by name", "pinned" (the CA's, which
        // the collector does not show), "uncertified" (no client certificate). How the reason starts...ends.
        QTest::addColumn<QString>("reason");
        const QString unpinned = "the collector's certificate SHA256:... matches no --forward-fingerprint";
        QTest::newRow("own CA, by name") << "The host name did not match any of the valid hosts for this "
                                            "certificate... (checked against --forward-ca)";
        QTest::newRow("system's CAs")
            << "... (checked against the system's CAs, as no --forward-ca is given)";
        QTest::newRow("pinned") << unpinned;
        QTest::newRow("own CA, pinned") << unpinned;
        QTest::newRow("own CA, uncertified")
            << "the collector closed the connection after the TLS handshake...: "
               "it may want a client certificate (--forward-cert, --forward-key)";
    }

    void tlsVerificationFailuresAreErrors()
    {
        QFETCH(QString, reason);
        const QString setup = QTest::currentDataTag();
        const QString url = QStringLiteral("tls://%1:%2")
                                .arg(setup.contains("by name") ? "localhost" : "127.0.0.1")
                                .arg(m_collector->tlsPort);
        const int before = m_collector->count();
        {
            ForwardOptions options = optionsFor(url);
            if (!setup.contains("own CA"))
                options.tls.caCertificates.clear();
            if (setup.contains("pinned"))
                options.tls.fingerprints = {fingerprint("ca.pem")};
            if (setup.contains("uncertified"))
                options.tls.clientKey.reset();
            Forwarder forwarder(options);
            QSignalSpy changes(&forwarder, &Forwarder::statusChanged);
            forwarder.forwardEvents(numbered(0, 5));
            QTRY_COMPARE_WITH_TIMEOUT(forwarder.conditions().size(), 1, 10000);
            const QString condition = forwarder.conditions().constFirst();
            const QStringList ends = reason.split("...");
            QVERIFY2(condition.startsWith("forwarding to " + url + " failed: " + ends[0]) &&
                         condition.endsWith(ends[1]),
                     qPrintable(condition));
            // Nothing sent is taken for delivered, and the reason shows once.
            QVERIFY(!forwarder.finish(300));
            QCOMPARE(forwarder.notForwarded(), quint64(5));
            QVERIFY(changes.count() <= 1); // the first may come before the spy does
        }
        // A marker through a connection verified by its pin alone (the self-signed certificate names no
        // host) comes after anything the one above sent: nothing of a failed one may be there.
        {
            ForwardOptions options =
                optionsFor(QStringLiteral("tls://localhost:%1").arg(m_collector->pinnedPort));
            options.tls.caCertificates.clear();
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
        Collector collector(m_dir.filePath("restart"));
        QCOMPARE(collector.start(), QString());
        Forwarder forwarder(optionsFor(QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort)));
        // A steady flood from the event loop, as the pipeline would hand it on; `noticed` is the first
        // event queued after the forwarder noticed the break.
        int next = 0, noticed = -1;
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
        // Everything queued after the break was noticed arrives, in order; what went to the old
        // connection just before it broke may be lost (TCP syslog has no acknowledgement).
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
        Forwarder forwarder(optionsFor(url));
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
};

QTEST_GUILESS_MAIN(ForwardTest)
#include "tst_forward.moc"
