// SPDX-License-Identifier: GPL-3.0-or-later
#include "Collector.h"

#include "app/Headless.h"
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"

#include <QDir>
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
                                     QStringLiteral("udp://127.0.0.1:%1").arg(collector.udpPort),
                                     "--allow-from", "127.0.0.1"});
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

        // Terminated before it could handle anything: the events behind 4,000 refused datagrams and
        // 4 too short to hold an event code are still written and forwarded before the end.
        const pid_t pid = pid_t(monitor->processId());
        ::kill(pid, SIGSTOP);
        const LoopbackPeer stranger(0, 0x7F000002);
        for (int i = 0; i < 4000; ++i)
            stranger.sendTo(port, eventDatagram(LoggedOn, "forged"));
        const LoopbackPeer firewall;
        for (int size = 0; size < 4; ++size)
            firewall.sendTo(port, QByteArray(size, '\0'));
        sendEvents(port, 0, 200);
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);
        QVERIFY(monitor->waitForFinished(10000));
        QCOMPARE(monitor->exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor->exitCode(), 0);
        QCOMPARE(monitor->readAllStandardError(), "sorvane: Listening for events on UDP port " +
                                                      QByteArray::number(port) +
                                                      ", 4000 datagrams from unlisted senders refused, 4 "
                                                      "datagrams too short\n");
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
        // Nor could it write its log (root too, once it gave up its privileges): the check makes nothing.
        const QString readOnly = m_dir.filePath("read-only");
        QVERIFY(QDir().mkdir(readOnly) &&
                QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
        auto monitor = startMonitor(
            {"--event-port", QString::number(holder.port()), "--log-file", readOnly + "/userfile"});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 1);
        QCOMPARE(monitor->readAllStandardError(),
                 "sorvane: Not receiving events: UDP port " + QByteArray::number(holder.port()) +
                     ": Address already in use; log lines lost: cannot write " + readOnly.toUtf8() +
                     "/userfile: Permission denied\n");
        QVERIFY(QDir(readOnly).isEmpty());
        monitor = startMonitor({"--forward", "tcp://collector"});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 2);
        QVERIFY(monitor->readAllStandardError().contains("\"tcp://collector\""));
    }

    void statusLinesWhileSomethingIsMissing()
    {
        AppSettings settings;
        settings.endpoints.eventPort = freeLoopbackPort(false);
        settings.dialog.userFilePath = QFile::encodeName(m_dir.filePath("status-log"));
        const QString refused = QStringLiteral("tcp://127.0.0.1:%1").arg(freeLoopbackPort(true));
        settings.forward.targets.push_back(*parseForwardUrl(refused));
        settings.forward.queueCapacity = 10;
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        monitor.setStatusPeriod(100);
        const QString listening =
            QStringLiteral("Listening for events on UDP port %1").arg(settings.endpoints.eventPort);
        QVERIFY(monitor.start());
        QCOMPARE(printed, QStringList{listening});
        // The condition is shown as soon as it holds, and the counts every period while not zero.
        const QString condition = "; forwarding to " + refused + " failed: Connection refused";
        QTRY_VERIFY_WITH_TIMEOUT(printed.contains(listening + condition), 10000);
        sendEvents(settings.endpoints.eventPort, 0, 50);
        QTRY_VERIFY_WITH_TIMEOUT(printed.count(listening + ", 40 events not forwarded" + condition) >= 2,
                                 10000);
        monitor.stop();
        QCOMPARE(printed.last(), listening + ", 50 events not forwarded" + condition);
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
