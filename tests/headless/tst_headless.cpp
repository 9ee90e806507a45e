// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"
#include "common/Collector.h"
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
    void startsThatCannotWorkEndAtOnce_data()
    {
        // The settings file's content ("" for none), the arguments, the exit code (-1: it runs, and is
        // then stopped), and what it prints first.
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::newRow("port taken") << QByteArray() << QStringList{"<taken>"} << 1
                                    << "forwarding to no collector; accepting events from any sender\n"
                                       "sorvane: Not receiving events: UDP port <port>: Address already in "
                                       "use; log lines lost: cannot "
                                       "write <read-only>/userfile: Permission denied\n";
        QTest::newRow("bad value") << QByteArray("max-event-rows=lots\n") << QStringList() << 2
                                   << "max-event-rows in <file> needs a whole number, not \"lots\"\n";
        QTest::newRow("unknown key, group and layout value: warnings")
            << QByteArray("allow_from=10.0.0.1\nallow-from=127.0.0.0/8, 10.1.2.3\n[window]\ngeometry=!\n"
                          "[aletrs]\nx=1\ny=2\n")
            << QStringList{"--forward", "udp://127.0.0.1:9"} << -1
            << "unknown group [aletrs] in <file>; it is ignored\n"
               "sorvane: unknown setting allow_from in <file>; it is ignored\n"
               "sorvane: window/geometry in <file> makes no sense; it is ignored\n"
               "sorvane: forwarding to udp://127.0.0.1:9; accepting events from 127.0.0.0/8, 10.1.2.3\n"
               "sorvane: Listening for events on UDP port <port>\n";
    }

    void startsThatCannotWorkEndAtOnce()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        const LoopbackPeer holder(0, INADDR_ANY);
        const bool taken = arguments.removeAll("<taken>") != 0;
        // Nor could it write its log there (root too, once it gave up its privileges): the check
        // makes nothing.
        const QString readOnly = m_dir.filePath("read-only");
        QVERIFY(
            QDir(readOnly).exists() ||
            (QDir().mkdir(readOnly) && QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner)));
        const quint16 port = taken ? holder.port() : freeUdpPort();
        const QString file = m_dir.filePath(QString::number(port) + ".conf");
        if (!content.isEmpty())
            arguments << "--settings" << file;
        QVERIFY(content.isEmpty() || writeFileBytes(file, content));
        auto monitor =
            startMonitor(arguments + QStringList{"--event-port", QString::number(port), "--log-file",
                                                 taken ? readOnly + "/userfile" : m_dir.filePath("held")});
        const QByteArray expected = "sorvane: " + printed.replace("<file>", file)
                                                      .replace("<port>", QString::number(port))
                                                      .replace("<read-only>", readOnly)
                                                      .toUtf8();
        if (exitCode < 0) {
            QByteArray said;
            QTRY_COMPARE_WITH_TIMEOUT(said += monitor->readAllStandardError(), expected, 20000);
            // Every thread, the forwarder's too, gave up whatever privilege the process started with.
            const QDir tasks(QStringLiteral("/proc/%1/task").arg(monitor->processId()));
            for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                QVERIFY2(
                    fileBytes(tasks.filePath(task + "/status")).contains("\nCapEff:\t0000000000000000\n"),
                    qPrintable(task));
            ::kill(pid_t(monitor->processId()), SIGTERM);
            exitCode = 0;
        }
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), exitCode);
        if (exitCode != 0)
            QCOMPARE(monitor->readAllStandardError(), expected);
        QVERIFY(QDir(readOnly).isEmpty());
    }

    void statusLinesWhileSomethingIsMissing()
    {
        AppSettings settings;
        settings.endpoints.eventPort = freeUdpPort();
        const QString log = m_dir.filePath("status-log");
        settings.dialog.userFilePath = QFile::encodeName(log);
        // One collector that is not there yet, and one that refuses a client without a certificate.
        const quint16 later = freeTcpPort();
        const QString refused = QStringLiteral("tcp://127.0.0.1:%1").arg(later);
        Collector collector(m_dir.filePath("client-certificates"));
        QCOMPARE(collector.start(), QString());
        const QString uncertified = QStringLiteral("tls://127.0.0.1:%1").arg(collector.tlsPort);
        settings.forward.targets = {*parseForwardUrl(refused), *parseForwardUrl(uncertified)};
        settings.forward.tls.caCertificates = readCaCertificates(collector.file("ca.pem"));
        settings.forward.queueCapacity = 10;
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        monitor.setStatusPeriod(100);
        const QString listening =
            QStringLiteral("Listening for events on UDP port %1").arg(settings.endpoints.eventPort);
        QVERIFY(monitor.start());
        // The forwarder's thread may have failed once already when the first status line is made.
        QCOMPARE(printed.value(0),
                 "forwarding to " + refused + ", " + uncertified + "; accepting events from any sender");
        QVERIFY(printed.value(1).startsWith(listening));
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
        monitor.stop(); // a second signal adds nothing
        QCOMPARE(printed.mid(before + 1),
                 QStringList(
                     {listening + ", 90 events not forwarded" + conditions.mid(refusedCondition.size()),
                      "40 events not forwarded to " + refused, "50 events not forwarded to " + uncertified}));
        QCOMPARE(lines(log), 50);
    }

    void stopHandlesEveryDatagramAlreadyTaken()
    {
        const LoopbackPeer collector;
        AppSettings settings;
        const quint16 port = settings.endpoints.eventPort = freeUdpPort();
        QVERIFY(settings.endpoints.allowed.parse(QStringLiteral("127.0.0.1")));
        const QString log = m_dir.filePath("drained");
        settings.dialog.userFilePath = QFile::encodeName(log);
        settings.forward.targets = {
            *parseForwardUrl(QStringLiteral("udp://127.0.0.1:%1").arg(collector.port()))};
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        QVERIFY(monitor.start());
        // More than a batch waits and no event loop runs: only the stop's drain handles them.
        const LoopbackPeer stranger(0, 0x7F000002);
        for (int i = 0; i < 1100; ++i)
            stranger.sendTo(port, eventDatagram(LoggedOn, "forged"));
        const LoopbackPeer firewall;
        for (int size = 0; size < 4; ++size)
            firewall.sendTo(port, QByteArray(size, '\0'));
        sendEvents(port, 0, 100);
        monitor.stop();
        QCOMPARE(lines(log), 100);
        QCOMPARE(printed.mid(2),
                 QStringList(QStringLiteral("Listening for events on UDP port %1, 1100 datagrams "
                                            "from unlisted senders refused, 4 datagrams too short")
                                 .arg(port)));
        QByteArray datagram;
        int forwarded = 0;
        while (collector.receive(datagram, 2000))
            ++forwarded;
        QCOMPARE(forwarded, 100);
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
