// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"
#include "common/Collector.h"
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
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

// The first column of every row of `sql` on the store at `path`, read-only.
QStringList storeRows(const QString& path, const QString& sql)
{
    QStringList rows;
    {
        QSqlDatabase store = QSqlDatabase::addDatabase("QSQLITE", "check");
        store.setDatabaseName(path);
        store.setConnectOptions("QSQLITE_OPEN_READONLY");
        QSqlQuery query(store.open() ? store : QSqlDatabase());
        query.exec(sql);
        while (query.next())
            rows << query.value(0).toString();
    }
    QSqlDatabase::removeDatabase("check");
    return rows;
}

// The whole answer to one HTTP/1.0 request on loopback.
QByteArray httpAnswer(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request + " HTTP/1.0\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000)) {
    }
    return socket.readAll();
}

// A Prometheus query's samples, each as its labels' values (but the scrape's own) and "=value", sorted.
QStringList query(quint16 port, const QByteArray& expression)
{
    const QByteArray answer = httpAnswer(port, "GET /api/v1/query?query=" + expression.toPercentEncoding());
    QStringList samples;
    for (const QJsonValue result :
         QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4))["data"]["result"].toArray()) {
        QJsonObject labels = result["metric"].toObject();
        for (const char* scrape : {"__name__", "job", "instance"})
            labels.remove(scrape);
        QStringList values;
        for (const QJsonValue value : labels)
            values << value.toString();
        samples << values.join(',') + '=' + result["value"][1].toString();
    }
    samples.sort();
    return samples;
}

} // namespace

class HeadlessTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void startsThatCannotWorkEndAtOnce()
    {
        // No display at all (a window would need one and fail), nor the user's settings file.
        qunsetenv("DISPLAY");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("XDG_CONFIG_HOME", "/nonexistent");
        auto arguments = [](quint16 port, const QStringList& more) {
            return QStringList{"--headless", "--event-port", QString::number(port)} + more;
        };
        // Nor could it write its log there (root too, once it gave up its privileges): nothing is made.
        const QString readOnly = m_dir.filePath("read-only"), file = m_dir.filePath("settings");
        QVERIFY(QDir().mkdir(readOnly) &&
                QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
        const LoopbackPeer holder(0, INADDR_ANY);
        QProcess taken;
        taken.start(SORVANE_BINARY, arguments(holder.port(), {"--log-file", readOnly + "/userfile"}));
        QVERIFY(taken.waitForFinished(20000));
        QCOMPARE(taken.exitCode(), 1);
        QCOMPARE(taken.readAllStandardError(),
                 QStringLiteral(
                     "sorvane: forwarding to no collector; accepting events from any sender\nsorvane: Not "
                     "receiving events: UDP port %1: Address already in use; log lines lost: cannot "
                     "write %2/userfile: Permission denied; store %2/userfile.db: cannot make "
                     "%2/userfile.db.lock: Permission denied\n")
                     .arg(QString::number(holder.port()), readOnly)
                     .toUtf8());
        QVERIFY(QDir(readOnly).isEmpty());
        QVERIFY(writeFileBytes(file, "max-event-rows=lots\n"));
        QCOMPARE(QProcess::execute(SORVANE_BINARY, arguments(freeUdpPort(), {"--settings", file})), 2);

        // Settings it warns about, and runs.
        QVERIFY(writeFileBytes(file, "allow_from=10.0.0.1\nallow-from=127.0.0.0/8, 10.1.2.3\n"));
        const quint16 port = freeUdpPort();
        QProcess monitor;
        monitor.start(SORVANE_BINARY, arguments(port, {"--settings", file, "--forward", "udp://127.0.0.1:9",
                                                       "--log-file", m_dir.filePath("held")}));
        QByteArray said;
        QTRY_COMPARE_WITH_TIMEOUT(
            said += monitor.readAllStandardError(),
            QStringLiteral(
                "sorvane: unknown setting allow_from in %1; it is ignored\n"
                "sorvane: forwarding to udp://127.0.0.1:9; accepting events from 127.0.0.0/8, 10.1.2.3\n"
                "sorvane: Listening for events on UDP port %2\n")
                .arg(file, QString::number(port))
                .toUtf8(),
            20000);
        // Every thread, the forwarder's too, gave up whatever privilege the process started with.
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(monitor.processId()));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QVERIFY2(fileBytes(tasks.filePath(task + "/status")).contains("\nCapEff:\t0000000000000000\n"),
                     qPrintable(task));
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(20000));
        QCOMPARE(monitor.exitCode(), 0);
    }

    void prometheusScrapesTheMetrics()
    {
        const quint16 port = freeUdpPort(), metrics = freeTcpPort(), server = freeTcpPort();
        QProcess monitor;
        monitor.start(SORVANE_BINARY,
                      {"--headless", "--event-port", QString::number(port), "--log-file",
                       m_dir.filePath("scraped"), "--store", "none", "--alert-command", "/bin/false",
                       "--metrics", QStringLiteral("127.0.0.1:%1").arg(metrics)});
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += monitor.readAllStandardError()).contains("Listening"), said,
                                  20000);
        // Only GET of the one path is answered.
        QCOMPARE(httpAnswer(metrics, "POST /metrics").mid(8, 5), " 405 ");
        QCOMPARE(httpAnswer(metrics, "GET /metrics/x").mid(8, 5), " 404 ");
        QDir().mkdir(m_dir.filePath("prometheus"));
        QVERIFY(writeFileBytes(m_dir.filePath("prometheus/prometheus.yml"),
                               "global: {scrape_interval: 1s}\nscrape_configs: [{job_name: sorvane, "
                               "static_configs: [{targets: ['127.0.0.1:" +
                                   QByteArray::number(metrics) + "']}]}]\n"));
        QProcess prometheus;
        prometheus.setWorkingDirectory(m_dir.filePath("prometheus"));
        prometheus.start("prometheus", {"--config.file=prometheus.yml", "--storage.tsdb.path=data",
                                        "--web.listen-address=127.0.0.1:" + QString::number(server)});
        // Two servers: three log-ons and a log-off at one; a log-on, two unknown codes and a lock-out
        // (its alert's command fails) at the other.
        const LoopbackPeer firewall;
        firewall.sendTo(port, "ab");
        const std::vector<std::array<quint8, 3>> sent{
            {LoggedOn, 1, 1}, {LoggedOn, 2, 1}, {LoggedOn, 3, 1}, {LoggedOff, 2, 1},
            {LoggedOn, 4, 2}, {12, 5, 2},       {13, 5, 2},       {AccountLockedUp, 6, 2}};
        for (const auto& [code, address, at] : sent)
            firewall.sendTo(port, eventDatagram(code, "u" + QByteArray::number(address), "Staff",
                                                ip(10, 1, 0, address), ip(10, 0, 0, at)));
        QTRY_COMPARE_WITH_TIMEOUT(
            query(server, "sum(sorvane_alert_commands_failed_total) + sum(sorvane_events_total)"),
            QStringList("=9"), 25000);
        QCOMPARE(query(server, "sorvane_online_users"), QStringList({"10.0.0.1=2", "10.0.0.2=1"}));
        QCOMPARE(query(server, "sum by (kind) (sorvane_events_total)"),
                 QStringList({"AccountLockedUp=1", "LoggedOff=1", "LoggedOn=4", "unknown=2"}));
        QCOMPARE(query(server, "sorvane_alerts_total > 0"), QStringList("account-locked=1"));
        QCOMPARE(query(server, "sorvane_datagrams_refused_total"),
                 QStringList({"too_short=1", "unlisted_sender=0"}));
        // Each sender past the first thousand is summed under one server value.
        for (int i = 0; i < 5000; ++i)
            firewall.sendTo(port, eventDatagram(LoggedOn, "v", "Staff", ip(10, 2, quint8(i >> 8), quint8(i)),
                                                ip(10, 3, quint8(i >> 8), quint8(i))));
        QTRY_COMPARE_WITH_TIMEOUT(query(server, "sum(sorvane_events_total)"), QStringList("=5008"), 20000);
        QCOMPARE(query(server, "count(count by (server) (sorvane_events_total))"), QStringList("=1001"));
        QCOMPARE(query(server, "count(sorvane_online_users)"), QStringList("=1001"));
        QCOMPARE(query(server, "sorvane_online_users{server=\"other\"}"), QStringList("other=4002"));
        // The scrape as the library wrote it passes Prometheus's own check.
        const QByteArray scrape = httpAnswer(metrics, "GET /metrics");
        QVERIFY(writeFileBytes(m_dir.filePath("scrape"), scrape.mid(scrape.indexOf("\r\n\r\n") + 4)));
        QProcess check;
        check.setStandardInputFile(m_dir.filePath("scrape"));
        check.start("promtool", {"check", "metrics"});
        QVERIFY(check.waitForFinished(20000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput() + check.readAllStandardError());
        QVERIFY(scrape.contains("\nprocess_resident_memory_bytes ") &&
                scrape.contains("sorvane_build_info{"));
        prometheus.terminate();
        monitor.terminate();
        QVERIFY(prometheus.waitForFinished(20000) && monitor.waitForFinished(20000));
    }

    void statusLinesWhileSomethingIsMissing()
    {
        AppSettings settings;
        const quint16 port = settings.endpoints.eventPort = freeUdpPort();
        const QString log = m_dir.filePath("status-log");
        settings.dialog.userFilePath = QFile::encodeName(log);
        // Two collectors that are not there: one comes later.
        const quint16 later = freeTcpPort();
        const QString refused = QStringLiteral("tcp://127.0.0.1:%1").arg(later), never = "tcp://127.0.0.1:9";
        settings.forward.targets = {*parseForwardUrl(refused), *parseForwardUrl(never)};
        settings.forward.queueCapacity = 10;
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        monitor.setStatusPeriod(100);
        const QString listening = QStringLiteral("Listening for events on UDP port %1").arg(port);
        QVERIFY(monitor.start());
        // The conditions are shown as soon as they hold, and the counts every period while not zero.
        const QString laterFailed = "; forwarding to " + refused + " failed: Connection refused";
        const QString conditions = laterFailed + "; forwarding to " + never + " failed: Connection refused";
        QTRY_VERIFY_WITH_TIMEOUT(printed.contains(listening + conditions), 10000);
        sendEvents(port, 0, 50);
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
        QCOMPARE(
            printed.mid(before + 1),
            QStringList({listening + ", 90 events not forwarded" + conditions.mid(laterFailed.size()),
                         "40 events not forwarded to " + refused, "50 events not forwarded to " + never}));
        QCOMPARE(fileBytes(log).count('\n'), 50);
    }

    void stopHandlesEveryDatagramAlreadyTaken()
    {
        const LoopbackPeer collector;
        AppSettings settings;
        const quint16 port = settings.endpoints.eventPort = freeUdpPort();
        QVERIFY(settings.endpoints.allowed.parse(QStringLiteral("127.0.0.1")));
        const QString log = m_dir.filePath("drained");
        settings.dialog.userFilePath = QFile::encodeName(log);
        settings.store.path = log + ".db";
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
        QCOMPARE(fileBytes(log).count('\n'), 100);
        QCOMPARE(storeRows(settings.store.path, "SELECT count(*) FROM events WHERE user_name LIKE 'u%'"),
                 QStringList("100"));
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
    void alertCommandsRunBoundedBesideTheIntake()
    {
        // Each run leaves its environment, how many ran at once, and its input; "hang" hangs with a
        // child in its group, "fail" fails.
        const QString runs = m_dir.filePath("runs"), log = m_dir.filePath("alerted");
        AppSettings settings;
        settings.alertCommand = {runs + "/command", 1000};
        const QByteArray script =
            "#!/bin/sh\ncd \"${0%/*}\" || exit 1\n"
            "[ \"$SORVANE_ALERT_USER\" = hang ] && { sleep 60 & echo $! > child; wait; }\n"
            "touch live.$$\n{ env | grep ^SORVANE_ALERT_ | LC_ALL=C sort; ls live.* | wc -l; cat; } > t.$$\n"
            "mv t.$$ run.$$; sleep 0.3; rm live.$$\n[ \"$SORVANE_ALERT_USER\" != fail ]\n";
        QVERIFY(QDir().mkdir(runs) && writeFileBytes(settings.alertCommand.path, script) &&
                QFile::setPermissions(settings.alertCommand.path, QFile::ReadOwner | QFile::ExeOwner));
        const quint16 port = settings.endpoints.eventPort = freeUdpPort();
        settings.dialog.userFilePath = QFile::encodeName(log);
        HeadlessMonitor monitor(settings, [](const QString&) {});
        QVERIFY(monitor.start());
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const LoopbackPeer firewall;
        const auto send = [&](quint8 code, const QByteArray& user) {
            firewall.sendTo(port, eventDatagram(code, user, "Staff", ip(192, 168, 1, 5), ip(10, 0, 0, 1)));
        };
        for (const char* user : {"hang", "p", "p", "p", "p", "p"})
            send(user[0] == 'h' ? AccountMarkedForLockUp : TryingInvalidPasswords, user);
        send(AccountIsDisabled, "fail");
        send(FirewallRebooted, "");
        send(AccessingFilteredSites, "jos\xE9 \"$(id)\"");
        for (int i = 0; i < 10000; ++i) // within one folding interval: one run at once, one at its end
            send(AccountLockedUp, "u" + QByteArray::number(i));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(runs).entryList({"run.*"}).size(), 6, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(
            monitor.statusText(),
            QStringLiteral("Listening for events on UDP port %1, 2 alert commands failed").arg(port), 20000);
        const QString child = QString::fromLatin1(fileBytes(runs + "/child").trimmed());
        QVERIFY(child.toInt() > 0 && !fileBytes("/proc/" + child + "/stat").contains(") S "));
        QStringList seen;
        for (const QString& run : QDir(runs).entryList({"run.*"})) {
            QStringList lines = QString::fromUtf8(fileBytes(runs + '/' + run)).split('\n');
            QVERIFY2(lines.size() == 10 && lines[7].trimmed().toInt() <= 4, qPrintable(lines.join('|')));
            const QDateTime time = QDateTime::fromString(lines[5].section('=', 1), Qt::ISODateWithMs);
            QVERIFY(time >= before && time <= QDateTime::currentDateTime());
            lines.removeAt(7);
            lines.removeAt(5);
            seen << lines.join('|');
        }
        const QString text = "filtered site accessed: server 10.0.0.1, user jos\u00E9 \"$(id)\"";
        QVERIFY2(seen.contains("SORVANE_ALERT_ADDRESS=192.168.1.5|SORVANE_ALERT_COUNT=1|SORVANE_ALERT_RULE="
                               "filtered-site|SORVANE_ALERT_SERVER=10.0.0.1|SORVANE_ALERT_TEXT=" +
                               text + "|SORVANE_ALERT_USER=jos\u00E9 \"$(id)\"|" + text + '|'),
                 qPrintable(seen.join('\n')));
        QCOMPARE(seen.filter("=account-locked").size(), 2);
        QCOMPARE(seen.filter("COUNT=9999|").size(), 1);
        monitor.stop();
        QCOMPARE(fileBytes(log).count('\n'), 10009);
    }

    void theWebhookExamplePostsWhatTheNetworkSentAsData()
    {
        if (QStandardPaths::findExecutable("jq").isEmpty() ||
            QStandardPaths::findExecutable("curl").isEmpty())
            QSKIP("needs jq and curl");
        QTcpServer chat;
        QVERIFY(chat.listen(QHostAddress::LocalHost));
        qputenv("SORVANE_WEBHOOK_URL", "http://127.0.0.1:" + QByteArray::number(chat.serverPort()) + "/hook");
        AppSettings settings;
        settings.alertCommand.path = SORVANE_EXAMPLES "/alert-webhook";
        settings.endpoints.eventPort = freeUdpPort();
        settings.dialog.userFilePath = QFile::encodeName(m_dir.filePath("posted"));
        HeadlessMonitor monitor(settings, [](const QString&) {});
        QVERIFY(monitor.start());
        LoopbackPeer().sendTo(settings.endpoints.eventPort, eventDatagram(AccountLockedUp, "a\"}' $(b)\\"));
        QTRY_VERIFY_WITH_TIMEOUT(chat.hasPendingConnections(), 20000);
        QTcpSocket* post = chat.nextPendingConnection();
        QByteArray request;
        QTRY_VERIFY_WITH_TIMEOUT((request += post->readAll()).endsWith("}\n"), 20000);
        QCOMPARE(QJsonDocument::fromJson(request.mid(request.indexOf("\r\n\r\n") + 4))["text"].toString(),
                 "Sorvane: account locked: server 0.0.0.0, user a\"}' $(b)\\");
        QVERIFY(post->write("HTTP/1.1 204 No Content\r\n\r\n") > 0 && post->flush());
        monitor.stop();
        QVERIFY(!monitor.statusText().contains("failed"));
    }

    void theStoreOutlivesAKillAndGivesWayToTheLog()
    {
        // Killed: what was committed stays, the file opens cleanly, and the next start ends the
        // sessions left open at the last stored event.
        const QString store = m_dir.filePath("killed.db");
        const quint16 port = freeUdpPort();
        const QStringList arguments{"--headless", "--event-port",           QString::number(port),
                                    "--log-file", m_dir.filePath("killed"), "--store",
                                    store};
        QProcess monitor;
        monitor.start(SORVANE_BINARY, arguments);
        QVERIFY(monitor.waitForStarted(20000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(store), 20000);
        sendEvents(port, 0, 50);
        QTRY_COMPARE_WITH_TIMEOUT(storeRows(store, "SELECT count(*) FROM events"), QStringList("50"), 20000);
        monitor.kill();
        QVERIFY(monitor.waitForFinished(20000));
        QCOMPARE(storeRows(store, "PRAGMA integrity_check"), QStringList("ok"));
        monitor.start(SORVANE_BINARY, arguments);
        QTRY_COMPARE_WITH_TIMEOUT(
            storeRows(store, "SELECT how || (ended_us = (SELECT max(arrival_us) FROM events)) FROM sessions "
                             "WHERE how != 'replaced'"),
            QStringList("monitor ended unexpectedly1"), 20000);
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(20000));

        // Short of room, the store pauses and the log keeps every line; it resumes by itself.
        const QString small = m_dir.filePath("small");
        QVERIFY(QDir().mkdir(small));
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16m", "tmpfs", small}) != 0)
            QSKIP("mounting a small file system needs root");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {small}); });
        QVERIFY(writeFileBytes(small + "/filler", QByteArray(13 << 20, 'x')));
        AppSettings settings;
        settings.endpoints.eventPort = freeUdpPort();
        settings.dialog.userFilePath = QFile::encodeName(small + "/log");
        settings.store.path = small + "/log.db";
        settings.store.minFreeBytes = 4 << 20;
        QStringList printed;
        HeadlessMonitor paused(settings, [&](const QString& line) { printed << line; });
        paused.setStatusPeriod(100);
        QVERIFY(paused.start());
        sendEvents(settings.endpoints.eventPort, 0, 100);
        QTRY_VERIFY_WITH_TIMEOUT(
            printed.join('\n').contains("100 events not stored; store " + settings.store.path +
                                        ": paused, less than 1 GiB or 5 % free on its file system"),
            20000);
        QVERIFY(QFile::remove(small + "/filler"));
        QTRY_VERIFY_WITH_TIMEOUT(printed.last().endsWith("100 events not stored"), 20000);
        sendEvents(settings.endpoints.eventPort, 100, 100);
        paused.stop();
        QCOMPARE(fileBytes(small + "/log").count('\n'), 200);
        QCOMPARE(storeRows(settings.store.path, "SELECT min(user_name) || max(user_name) FROM events"),
                 QStringList("u100u199"));
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
