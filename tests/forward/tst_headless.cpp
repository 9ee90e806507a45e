// SPDX-License-Identifier: GPL-3.0-or-later
#include "Collector.h"

#include "app/Headless.h"
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"

#include <QDir>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// The firewalls' end: log-on events of users u<first>, u<first + 1>...
void sendEvents(quint16 port, int first, int count)
{
    const LoopbackPeer firewall;
    for (int i = first; i < first + count; ++i)
        firewall.sendTo(port, eventDatagram(LoggedOn, "u" + QByteArray::number(i)));
}

int lines(const QString& path)
{
    return int(fileBytes(path).count('\n'));
}

// The monitor's binary with no display at all: a window would need one and fail.
std::unique_ptr<QProcess> startMonitor(const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("XDG_CONFIG_HOME", "/nonexistent"); // no settings file of the user
    process->setProcessEnvironment(environment);
    process->start(SORVANE_BINARY, QStringList{"--headless"} + arguments);
    return process;
}

} // namespace

class HeadlessTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void terminationLogsAndForwardsWhatArrived()
    {
        Collector collector(m_dir.filePath("collector"));
        QCOMPARE(collector.start(), QString());
        const quint16 port = freeLoopbackPort(false);
        const QString log = m_dir.filePath("userfile");
        auto monitor = startMonitor({"--event-port", QString::number(port), "--log-file", log, "--forward",
                                     QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort), "--forward",
                                     QStringLiteral("udp://127.0.0.1:%1").arg(collector.udpPort)});
        QByteArray printed;
        QTRY_COMPARE_WITH_TIMEOUT(
            printed += monitor->readAllStandardError(),
            "sorvane: Listening for events on UDP port " + QByteArray::number(port) + "\n", 20000);
        // Every thread, the forwarder's too, gave up whatever privilege the process started with.
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(monitor->processId()));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile status(tasks.filePath(task + "/status"));
            QVERIFY(status.open(QIODevice::ReadOnly));
            QVERIFY2(status.readAll().contains("\nCapEff:\t0000000000000000\n"), qPrintable(task));
        }

        // Terminated at once: what arrived is still written and forwarded before the end.
        sendEvents(port, 0, 200);
        ::kill(pid_t(monitor->processId()), SIGTERM);
        QVERIFY(monitor->waitForFinished(10000));
        QCOMPARE(monitor->exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor->exitCode(), 0);
        QCOMPARE(monitor->readAllStandardError(), QByteArray());
        QCOMPARE(lines(log), 200);
        QTRY_COMPARE_WITH_TIMEOUT(collector.count(), 400, 10000);
        QList<int> expected(200);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(collector.numbers("imtcp"), expected);
        QCOMPARE(collector.numbers("imudp"), expected);
    }

    void startsThatCannotWorkEndAtOnce()
    {
        const LoopbackPeer holder(0, INADDR_ANY);
        auto monitor = startMonitor(
            {"--event-port", QString::number(holder.port()), "--log-file", m_dir.filePath("held")});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 1);
        QCOMPARE(monitor->readAllStandardError(), "sorvane: Not receiving events: UDP port " +
                                                      QByteArray::number(holder.port()) +
                                                      ": Address already in use\n");
        monitor = startMonitor({"--forward", "tcp://collector"});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 2);
        QVERIFY(monitor->readAllStandardError().contains("\"tcp://collector\""));
    }

    void statusLinesWhileSomethingIsMissing()
    {
        AppSettings settings;
        settings.endpoints.eventPort = freeLoopbackPort(false);
        const QString log = m_dir.filePath("status-log");
        settings.dialog.userFilePath = QFile::encodeName(log);
        // One collector that is not there yet, and one that refuses a client without a certificate.
        const quint16 later = freeLoopbackPort(true);
        const QString refused = QStringLiteral("tcp://127.0.0.1:%1").arg(later);
        Collector collector(m_dir.filePath("client-certificates"), true);
        QCOMPARE(collector.start(), QString());
        const QString uncertified = QStringLiteral("tls://127.0.0.1:%1").arg(collector.tlsPort);
        settings.forward.targets = {*parseForwardUrl(refused), *parseForwardUrl(uncertified)};
        settings.forward.tls.caCertificates = readCaCertificates(collector.caFile());
        settings.forward.queueCapacity = 10;
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        monitor.setStatusPeriod(100);
        const QString listening =
            QStringLiteral("Listening for events on UDP port %1").arg(settings.endpoints.eventPort);
        QVERIFY(monitor.start());
        QCOMPARE(printed, QStringList{listening});
        // The conditions are shown as soon as they hold, and the counts every period while not zero.
        const QString refusedCondition = "; forwarding to " + refused + " failed: Connection refused";
        const QString conditions = refusedCondition + "; forwarding to " + uncertified +
                                   " failed: the collector closed the connection after the TLS handshake: it "
                                   "may want a client certificate (--forward-cert, --forward-key)";
        QTRY_VERIFY_WITH_TIMEOUT(printed.contains(listening + conditions), 10000);
        sendEvents(settings.endpoints.eventPort, 0, 50);
        QTRY_VERIFY_WITH_TIMEOUT(printed.count(listening + ", 80 events not forwarded" + conditions) >= 2,
                                 10000);

        // The collector comes: one line once its connection has stayed up, and none until then.
        monitor.setStatusPeriod(3600000);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, later));
        const qsizetype before = printed.size();
        QTRY_VERIFY_WITH_TIMEOUT(printed.size() > before, 30000);
        QCOMPARE(printed.mid(before), QStringList("forwarding to " + refused + " resumed"));
        monitor.stop();
        QCOMPARE(printed.mid(before + 1),
                 QStringList(
                     {listening + ", 90 events not forwarded" + conditions.mid(refusedCondition.size()),
                      "40 events not forwarded to " + refused, "50 events not forwarded to " + uncertified}));
        QCOMPARE(lines(log), 50);
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
