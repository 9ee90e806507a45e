// SPDX-License-Identifier: GPL-3.0-or-later
#include "Collector.h"

#include "forward/Forwarder.h"

#include <QJsonObject>
#include <QSignalSpy>
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

ForwardOptions optionsFor(const QString& url, std::size_t capacity = 100000,
                          const QList<QSslCertificate>& ca = {})
{
    ForwardOptions options;
    options.targets.push_back(*parseForwardUrl(url));
    options.queueCapacity = capacity;
    options.caCertificates = ca;
    return options;
}

// The sequence numbers of numbered() events as the collector wrote them, in its order.
QList<int> sequence(const QList<QJsonObject>& messages)
{
    QList<int> numbers;
    for (const QJsonObject& message : messages) {
        const QString msg = message.value("msg").toString();
        const qsizetype from = msg.indexOf(": u");
        numbers << msg.mid(from + 3, msg.indexOf(' ', from + 3) - from - 3).toInt();
    }
    return numbers;
}

bool increasing(const QList<int>& numbers)
{
    return std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<int>()) == numbers.end();
}

} // namespace

class ForwardTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TlsFiles m_tls;
    std::unique_ptr<Collector> m_collector; // UDP, TCP and TLS, shared by the tests that only add to it
    int m_collectors = 0;

    QString newDir()
    {
        const QString path = m_dir.filePath(QStringLiteral("collector%1").arg(++m_collectors));
        QDir().mkpath(path);
        return path;
    }

private slots:
    void initTestCase()
    {
        // An offset with minutes, so that the timestamp's offset is checked in full.
        qputenv("TZ", "IST-5:30");
        tzset();
        QVERIFY(m_dir.isValid());
        QVERIFY(makeTlsFiles(m_dir.path(), m_tls));
        m_collector = std::make_unique<Collector>(newDir(), &m_tls);
        QVERIFY2(m_collector->start(), qPrintable(m_collector->error()));
    }

    void forwardUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("shown"); // empty: refused
        const auto row = [](const char* url, const char* shown) { QTest::newRow(url) << url << shown; };
        row("udp://127.0.0.1:514", "udp://127.0.0.1:514");
        row("tcp://Collector-1.example:6514", "tcp://collector-1.example:6514");
        row("tls://[::1]:6514", "tls://[::1]:6514");
        for (const char* refused : {"tcp://collector", "udp://collector:0", "udp://collector:65536",
                                    "http://collector:80", "collector:514", "udp://10.1:514",
                                    "tcp://collector:514/x", "tcp://me@collector:514", "tls://[::g]:6514",
                                    "tcp://:514"})
            row(refused, "");
    }

    void forwardUrls()
    {
        QFETCH(QString, url);
        QFETCH(QString, shown);
        const std::optional<ForwardTarget> target = parseForwardUrl(url);
        QCOMPARE(target ? target->url() : QString(), shown);
    }

    void timestampsInTheLocalOffset_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qint64>("micros");
        QTest::addColumn<QByteArray>("text");
        // 2026-03-01 01:02:03 UTC
        QTest::newRow("east, minutes") << QByteArray("IST-5:30") << qint64(1772326923000042)
                                       << QByteArray("2026-03-01T06:32:03.000042+05:30");
        QTest::newRow("west, day before") << QByteArray("XST3") << qint64(1772326923999999)
                                          << QByteArray("2026-02-28T22:02:03.999999-03:00");
    }

    void timestampsInTheLocalOffset()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qint64, micros);
        QFETCH(QByteArray, text);
        qputenv("TZ", zone);
        tzset();
        const QByteArray stamp = rfc3339Timestamp(micros);
        qputenv("TZ", "IST-5:30");
        tzset();
        QCOMPARE(stamp, text);
    }

    void widestEventFitsItsMessage()
    {
        // Every text field full, every byte one that takes two: escaped or in UTF-8.
        EventRecord record;
        auto fill = [](char* field, std::size_t width) {
            for (std::size_t i = 0; i < width; ++i)
                field[i] = "\"\xFF]\\"[i % 4];
            field[width] = 0;
        };
        fill(record.Username, USERNAME_WIDTH);
        fill(record.Groupname, GROUPNAME_WIDTH);
        fill(record.LoginTime, LOGINTIME_WIDTH);
        fill(record.Date, DATE_WIDTH);
        fill(record.EventTime, EVENTTIME_WIDTH);
        record.EventCode = 0xFFFFFFFF;
        record.IPAddress = record.ServerIPAddress = 0xFFFFFFFF;
        auto value = [](const char* field) {
            return QString::fromLatin1(field).replace("\\", "\\\\").replace("\"", "\\\"").replace("]", "\\]");
        };
        const QString message = QString::fromUtf8(eventSyslogMessage(record, ARRIVAL_TEXT));
        QCOMPARE(message,
                 QStringLiteral("<85>1 %1 255.255.255.255 sorvane - Unknown [event@32473 code=\"4294967295\" "
                                "user=\"%2\" group=\"%3\" address=\"255.255.255.255\" loginTime=\"%4\" "
                                "date=\"%5\" time=\"%6\"] \uFEFFUnknown event 4294967295: %7 from "
                                "255.255.255.255")
                     .arg(QLatin1String(ARRIVAL_TEXT), value(record.Username), value(record.Groupname),
                          value(record.LoginTime), value(record.Date), value(record.EventTime),
                          QString::fromLatin1(record.Username)));
    }

    void everyFieldArrivesAsSent_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("input");
        QTest::newRow("udp") << "udp" << "imudp";
        QTest::newRow("tcp") << "tcp" << "imtcp";
        QTest::newRow("tls") << "tls" << "imtcp";
    }

    void everyFieldArrivesAsSent()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, input);
        const quint16 port = scheme == "udp"   ? m_collector->udpPort()
                             : scheme == "tcp" ? m_collector->tcpPort()
                                               : m_collector->tlsPort();
        const struct {
            quint32 code;
            int severity;
            const char* msgId;
            const char* text;
        } kinds[] = {
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
        EventBatch batch;
        batch.arrivalMicros = ARRIVAL;
        for (const auto& kind : kinds) {
            const quint8 host = quint8(kind.code + 1);
            // One user name holds every character that needs escaping, and one above 127 (Latin-1).
            const QByteArray user =
                kind.code == 4 ? QByteArray("a\"b\\c]d\xE9") : "user" + QByteArray::number(host);
            batch.events.push_back(makeEvent(kind.code, user, kind.code == 4 ? "Gr\xFCn" : "Staff", host));
        }
        const int before = m_collector->count();
        {
            ForwardOptions options = optionsFor(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port));
            options.caCertificates = readCaCertificates(m_tls.ca);
            Forwarder forwarder(options);
            forwarder.forwardEvents(batch);
            QVERIFY(forwarder.finish(10000));
            QCOMPARE(forwarder.notForwarded(), quint64(0));
            QCOMPARE(forwarder.conditions(), QStringList());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + int(std::size(kinds)), 10000);
        const QList<QJsonObject> received = m_collector->messages().mid(before);
        for (std::size_t i = 0; i < std::size(kinds); ++i) {
            const auto& kind = kinds[i];
            const QJsonObject& m = received[qsizetype(i)];
            const QString host = QString::number(kind.code + 1);
            const bool escaped = kind.code == 4;
            const QString user = escaped ? QStringLiteral("a\"b\\c]d\u00E9") : "user" + host;
            const QString userValue = escaped ? QStringLiteral("a\\\"b\\\\c\\]d\u00E9") : user;
            const QString data = QStringLiteral("[event@32473 code=\"%1\" user=\"%2\" group=\"%3\" "
                                                "address=\"192.168.5.%4\" loginTime=\"09:15:02\" "
                                                "date=\"12/06/2026\" time=\"09:45:01\"]")
                                     .arg(kind.code)
                                     .arg(userValue, escaped ? QStringLiteral("Gr\u00FCn") : "Staff", host);
            const QString text = QStringLiteral("%1: %2 from 192.168.5.%3").arg(kind.text, user, host);
            QCOMPARE(m.value("inputname").toString(), input);
            QCOMPARE(m.value("rawmsg").toString(),
                     QStringLiteral("<%1>1 %2 10.0.0.%3 sorvane - %4 %5 \uFEFF%6")
                         .arg(80 + kind.severity)
                         .arg(QLatin1String(ARRIVAL_TEXT), host, QLatin1String(kind.msgId), data, text));
            // rsyslog read every field as the message meant it.
            QCOMPARE(m.value("syslogfacility").toString(), "10");
            QCOMPARE(m.value("syslogseverity").toString(), QString::number(kind.severity));
            QCOMPARE(m.value("protocol-version").toString(), "1");
            QCOMPARE(m.value("timereported").toString(), QLatin1String(ARRIVAL_TEXT));
            QCOMPARE(m.value("hostname").toString(), "10.0.0." + host);
            QCOMPARE(m.value("app-name").toString(), "sorvane");
            QCOMPARE(m.value("procid").toString(), "-");
            QCOMPARE(m.value("msgid").toString(), QLatin1String(kind.msgId));
            QCOMPARE(m.value("structured-data").toString(), data);
            QCOMPARE(m.value("msg").toString(), QStringLiteral("\uFEFF") + text);
        }
    }

    void readyMessagesGoWithTheirOwnFields()
    {
        const int before = m_collector->count();
        {
            Forwarder forwarder(optionsFor(QStringLiteral("tcp://127.0.0.1:%1").arg(m_collector->tcpPort())));
            SyslogFields fields;
            fields.severity = Severity::Warning;
            fields.hostname = "10.0.0.9";
            fields.msgId = "Alert";
            fields.text = "Three failed log-ons in a minute: \xC3\xA9ve";
            forwarder.forwardMessage(fields);
            QVERIFY(forwarder.finish(10000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + 1, 10000);
        const QJsonObject m = m_collector->messages().at(before);
        QCOMPARE(m.value("syslogseverity").toString(), "4");
        QCOMPARE(m.value("hostname").toString(), "10.0.0.9");
        QCOMPARE(m.value("msgid").toString(), "Alert");
        QCOMPARE(m.value("structured-data").toString(), "-");
        QCOMPARE(m.value("msg").toString(),
                 QStringLiteral("\uFEFFThree failed log-ons in a minute: \u00E9ve"));
        // Its own time: now, in the local offset.
        QVERIFY(m.value("timereported").toString().endsWith("+05:30"));
    }

    void tlsVerification_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("ownCa");
        QTest::addColumn<QString>("failure"); // empty: delivered
        QTest::newRow("verified") << "127.0.0.1" << true << "";
        QTest::newRow("wrong host name")
            << "localhost" << true
            << "The host name did not match any of the valid hosts for this certificate";
        QTest::newRow("unknown issuer") << "127.0.0.1" << false << "";
    }

    void tlsVerification()
    {
        QFETCH(QString, host);
        QFETCH(bool, ownCa);
        QFETCH(QString, failure);
        const bool delivered = QByteArray(QTest::currentDataTag()) == "verified";
        const QString url = QStringLiteral("tls://%1:%2").arg(host).arg(m_collector->tlsPort());
        const int before = m_collector->count();
        {
            Forwarder forwarder(
                optionsFor(url, 100000, ownCa ? readCaCertificates(m_tls.ca) : QList<QSslCertificate>()));
            forwarder.forwardEvents(numbered(0, 5));
            if (delivered) {
                QVERIFY(forwarder.finish(10000));
                QCOMPARE(forwarder.conditions(), QStringList());
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(!forwarder.conditions().isEmpty(), 10000);
                const QString condition = forwarder.conditions().constFirst();
                QVERIFY2(condition.startsWith("forwarding to " + url + " failed: "), qPrintable(condition));
                if (!failure.isEmpty())
                    QCOMPARE(condition, "forwarding to " + url + " failed: " + failure);
                StatusCounts counts;
                QStringList conditions;
                forwarder.addStatus(counts, conditions);
                QCOMPARE(statusLineText(1023, 0, counts, conditions),
                         "Listening for events on UDP port 1023; " + condition);
                QVERIFY(!forwarder.finish(300));
                QCOMPARE(forwarder.notForwarded(), quint64(5));
            }
        }
        // A marker through a verified connection comes after anything the one above sent: nothing
        // of a failed one may be there, in clear text or otherwise.
        {
            Forwarder marker(optionsFor(QStringLiteral("tls://127.0.0.1:%1").arg(m_collector->tlsPort()), 10,
                                        readCaCertificates(m_tls.ca)));
            marker.forwardEvents(numbered(999, 1));
            QVERIFY(marker.finish(10000));
        }
        const int expected = delivered ? 6 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(), before + expected, 10000);
        const QList<int> received = sequence(m_collector->messages().mid(before));
        QCOMPARE(received, delivered ? QList<int>({0, 1, 2, 3, 4, 999}) : QList<int>({999}));
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
        QVERIFY2(collector.start(), qPrintable(collector.error()));
        const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort());
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
        QCOMPARE(forwarder.conditions().constFirst().left(url.size() + 22),
                 "forwarding to " + url + " failed:");
        const int restartAt = next + 5000;
        QTRY_VERIFY_WITH_TIMEOUT(next >= restartAt, 20000);
        QVERIFY2(collector.start(), qPrintable(collector.error()));
        const int stopAt = next + 20000;
        QTRY_VERIFY_WITH_TIMEOUT(next >= stopAt, 30000);
        flood.stop();
        QTRY_VERIFY_WITH_TIMEOUT(forwarder.conditions().isEmpty(), 30000);
        QVERIFY(forwarder.finish(10000));
        QCOMPARE(forwarder.notForwarded(), quint64(0));

        // Everything queued after the break was noticed arrives, and the order is kept throughout.
        QTRY_COMPARE_WITH_TIMEOUT(sequence({collector.last()}).constFirst(), next - 1, 30000);
        const QList<int> received = sequence(collector.messages());
        QVERIFY(increasing(received));
        const auto firstAfter = std::lower_bound(received.begin(), received.end(), noticed);
        QCOMPARE(int(received.end() - firstAfter), next - noticed);
        // What went to the old connection just before it broke may be lost: TCP syslog has no
        // acknowledgement. Counted here, not failed on.
        qInfo("%d events sent, %d received; %d lost before the break was noticed at event %d", next,
              int(received.size()), next - int(received.size()), noticed);
    }

    void unreachableCollectorsNeverBlock()
    {
        // Refused: every event beyond the queue is counted at once, and the reason is shown.
        const quint16 closed = freeLoopbackPort(true);
        const QString refusedUrl = QStringLiteral("tcp://127.0.0.1:%1").arg(closed);
        Forwarder refused(optionsFor(refusedUrl, 1000));
        for (int i = 0; i < 20; ++i)
            refused.forwardEvents(numbered(i * 1000, 1000));
        QCOMPARE(refused.notForwarded(), quint64(19000));
        QTRY_COMPARE_WITH_TIMEOUT(refused.conditions(),
                                  QStringList("forwarding to " + refusedUrl + " failed: Connection refused"),
                                  10000);
        QVERIFY(!refused.finish(300));
        QCOMPARE(refused.notForwarded(), quint64(20000));

        // A datagram to a port nobody reads comes back refused: counted, and shown.
        const QString udpUrl = QStringLiteral("udp://127.0.0.1:%1").arg(freeLoopbackPort(false));
        Forwarder datagrams(optionsFor(udpUrl, 1000));
        int sent = 0;
        QTRY_VERIFY_WITH_TIMEOUT((datagrams.forwardEvents(numbered(sent++, 1)), datagrams.notForwarded() > 0),
                                 10000);
        QCOMPARE(datagrams.conditions(),
                 QStringList("forwarding to " + udpUrl + " failed: Connection refused"));
    }

    void stalledCollectorResumesInOrder()
    {
        // A collector that takes connections but reads nothing: the kernel's buffers fill, then the
        // queue, then events are counted; nothing waits.
        Collector collector(newDir());
        QVERIFY2(collector.start(), qPrintable(collector.error()));
        collector.pause();
        Forwarder forwarder(optionsFor(QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort()), 1000));
        constexpr int total = 100000;
        for (int i = 0; i < total; i += 500) {
            forwarder.forwardEvents(numbered(i, 500));
            QTest::qWait(0);
        }
        QVERIFY(forwarder.notForwarded() > 0);
        collector.resume();
        QVERIFY(forwarder.finish(30000));
        QTRY_COMPARE_WITH_TIMEOUT(quint64(collector.count()) + forwarder.notForwarded(), quint64(total),
                                  30000);
        QVERIFY(increasing(sequence(collector.messages())));
    }

    void cleanupTestCase() { m_collector.reset(); }
};

QTEST_GUILESS_MAIN(ForwardTest)
#include "tst_forward.moc"
