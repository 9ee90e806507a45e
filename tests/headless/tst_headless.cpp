// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"
#include "common/Collector.h"
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "store/EventStore.h"
#include "store/StoreFile.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

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

// The real binary's exit code, then what it printed on standard output and error.
QByteArray sorvane(const QStringList& arguments, const QString& folder = QDir::currentPath())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "UTC");
    environment.insert("XDG_CONFIG_HOME", "/nonexistent");
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(SORVANE_BINARY, arguments);
    process.waitForFinished(30000);
    return QByteArray::number(process.exitCode()) + '\n' + process.readAllStandardOutput() +
           process.readAllStandardError();
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
    // Two sites' monitors write into one PostgreSQL server of the test's own (a scratch cluster on a
    // free loopback port, never the system's), and their sessions are asked across both. First: the
    // monitors run in this process below give up its privileges, and root's server runs as nobody.
    void sitesShareAPostgresqlStore()
    {
        const QString bin = "/usr/lib/postgresql/15/bin/";
        const passwd* nobody = ::getpwnam("nobody");
        if (!QFile::exists(bin + "initdb") || !QSqlDatabase::isDriverAvailable("QPSQL") || !nobody)
            QSKIP("needs PostgreSQL 15, Qt's QPSQL driver and the user nobody");
        const QTemporaryDir cluster;
        const QString data = cluster.filePath("data"), port = QString::number(freeTcpPort()),
                      url = "postgresql://sorvane@127.0.0.1:" + port + "/postgres?sslmode=disable";
        // The server refuses to run as root.
        const QString as =
            ::getuid() ? "exec " : "exec setpriv --reuid=nobody --regid=nogroup --clear-groups ";
        QVERIFY(::getuid() ||
                ::chown(QFile::encodeName(cluster.path()), nobody->pw_uid, nobody->pw_gid) == 0);
        QCOMPARE(QProcess::execute("sh",
                                   {"-c", as + bin + "initdb -U sorvane --auth=trust -E UTF8 --locale=C -D " +
                                              data + " >/dev/null"}),
                 0);
        QProcess server;
        server.start(
            "sh", {"-c", as + bin + "postgres -h 127.0.0.1 -k '' -c fsync=off -p " + port + " -D " + data});
        const auto stopServer = qScopeGuard([&] {
            ::kill(pid_t(server.processId()), SIGINT);
            server.waitForFinished(20000);
        });
        const auto sql = [&](const QString& text) { // rows end in NUL: the names hold every other byte
            QProcess psql;
            psql.start(bin + "psql", {"-AtqX0", "-d", url, "-c", text});
            psql.waitForFinished(20000);
            return QString::fromUtf8(psql.readAllStandardOutput()).split(QChar(0), Qt::SkipEmptyParts);
        };
        QTRY_COMPARE_WITH_TIMEOUT(sql("SELECT 1"), QStringList("1"), 20000);

        qputenv("XDG_CONFIG_HOME", "/nonexistent");
        const QString sites[] = {"site-a", "site-b"};
        QProcess monitors[2];
        QStringList events, sessions;
        for (int m = 0; m < 2; ++m) {
            const quint16 eventPort = freeUdpPort();
            monitors[m].start(SORVANE_BINARY,
                              {"--headless", "--event-port", QString::number(eventPort), "--log-file",
                               m_dir.filePath(sites[m]), "--store", url, "--site", sites[m]});
            QByteArray said;
            QTRY_VERIFY_WITH_TIMEOUT((said += monitors[m].readAllStandardError()).contains("Listening"),
                                     20000);
            // Every byte but NUL, as the fields' Latin-1 read into a UTF-8 database.
            for (int i = 0; i < 7; ++i) {
                const QByteArray user = everyByte().mid(40 * i, 40);
                LoopbackPeer().sendTo(eventPort, eventDatagram(LoggedOn, user, "Gr\xfcn", ip(10, 0, m, i + 1),
                                                               ip(192, 168, 1, 254), "12/06/2026", "10:00:00",
                                                               "09:59", 7));
                events << QString("%1|7|0|%2|Gr\u00fcn|%3|3232236030|09:59|12/06/2026|10:00:00")
                              .arg(sites[m], QString::fromLatin1(user))
                              .arg(0x0a000001 + (m << 8) + i);
                sessions << sites[m] + '|' + QString::fromLatin1(user) + "|monitor stopped";
            }
        }
        // A second monitor of a site that has one is refused.
        const StoreOptions same{url, 0, sites[0]};
        QCOMPARE(EventStore(same).condition(),
                 "store " + url + ": site site-a is locked by another running monitor");
        QTRY_COMPARE_WITH_TIMEOUT(sql("SELECT count(*) FROM events"), QStringList("14"), 20000);
        for (QProcess& monitor : monitors) {
            monitor.terminate();
            QVERIFY(monitor.waitForFinished(20000) && monitor.exitCode() == 0);
        }
        QCOMPARE(sql("SELECT concat_ws('|', site, header, code, user_name, group_name, address, server, "
                     "login_time, date, time) FROM events ORDER BY site, id"),
                 events);
        QCOMPARE(sql("SELECT site FROM monitor_runs WHERE stopped_us >= started_us ORDER BY site"),
                 QStringList({"site-a", "site-b"}));
        // Asked without a display, the store answers for both sites.
        QStringList read;
        const QList<QByteArray> lines = sorvane({"sessions", "--store", url, "--format", "json"}).split('\n');
        QCOMPARE(lines[0], "0");
        for (const QByteArray& line : lines.mid(1, lines.size() - 2)) {
            const QJsonObject session = QJsonDocument::fromJson(line).object();
            read << session["site"].toString() + '|' + session["user"].toString() + '|' +
                        session["how"].toString();
        }
        QCOMPARE(read, sessions);
        // Work kept back under a flood goes through the server too, and in order: the log-on, then
        // the stop that ends its session.
        StoreOptions behind{url, 0, "site-c"};
        behind.directEvents = 0;
        behind.catchUpMs = 0;
        const EventRecord on = decodeEvent(eventDatagram(LoggedOn, "dora").constData(), 157);
        {
            EventStore kept(behind);
            kept.storeEvents({{on}, 5, 0});
            kept.storeSessions({{true, 5, makeOnlineUser(on), {}}});
            QVERIFY(kept.finish(QDeadlineTimer(10000)));
        }
        QCOMPARE(sql("SELECT count(*) FROM backlog WHERE site = 'site-c'"), QStringList("3"));
        {
            EventStore caught({url, 0, "site-c"});
            QTRY_COMPARE_WITH_TIMEOUT(
                sql("SELECT concat_ws('|', user_name, how) FROM sessions WHERE site = 'site-c'"),
                QStringList("dora|monitor stopped"), 20000);
        }
        QCOMPARE(sql("SELECT count(*) FROM events WHERE site = 'site-c' AND user_name = 'dora'"),
                 QStringList("1"));
        // A schema from a later build: nothing is written into it.
        sql("UPDATE sorvane_schema SET version = 99");
        QCOMPARE(EventStore(same).condition(),
                 "store " + url +
                     QString(": written by a newer Sorvane (schema 99; this one knows up to %1)")
                         .arg(STORE_SCHEMA_VERSION));
    }

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

        // What it stored answers without a display; its log, imported, adds nothing.
        const QStringList store{"--store", settings.store.path};
        QCOMPARE(sorvane(QStringList{"import", log} + store),
                 "0\n100 lines read, 0 added, 100 already there, 0 not understood\n");
        const QList<QByteArray> json =
            sorvane(QStringList{"sessions", "--user", "u99", "--format", "json"} + store).split('\n');
        QCOMPARE(json.size(), 3);
        const QJsonObject session = QJsonDocument::fromJson(json[1]).object();
        QCOMPARE(session.value("how"), "monitor stopped");
        QCOMPARE(session.value("address"), "0.0.0.0");
        QVERIFY(session.value("seconds").isDouble() && session.value("end").toString().endsWith('Z'));
        const QList<QByteArray> text = sorvane(QStringList{"sessions", "--user", "u99"} + store).split('\n');
        QCOMPARE(text[1].simplified(), "USER ADDRESS SERVER START END DURATION HOW GROUP SITE");
        QCOMPARE(text[2].indexOf("0.0.0.0"), text[1].indexOf("ADDRESS"));
        QVERIFY(text[2].contains(" monitor stopped "));
        QCOMPARE(sorvane(QStringList{"events", "--user", "u99", "--format", "csv"} + store).split(',').mid(8),
                 QByteArrayList({"u99", "0.0.0.0", "0.0.0.0", "LoggedOn", "Staff", "",
                                 QSysInfo::machineHostName().toUtf8() + "\r\n"}));
    }

    void importsLogsOnceAndRefusesBadArguments()
    {
        const QString folder = m_dir.filePath("import"), log = folder + "/userfile", path = log + ".db";
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(writeFileBytes(log, "\n10:00:00  12/01/2026  10.0.0.1  =alice  LoggedOn\r\n"
                                    "10:00:00  12/01/2026  10.0.0.1  =alice  LoggedOn\r\n"
                                    "not a log line\r\n"
                                    "10:00:00  12/01/2026  10.0.0.1  carol  LoggedIn\r\n"
                                    "10:05:00  12/01/2026  10.0.0.1  bob  smith  LoggedOff\n"));
        // logrotate's compressed copy of the same lines is read first: the log itself adds nothing then.
        QProcess gzip;
        gzip.setStandardOutputFile(log + ".1.gz");
        gzip.start("gzip", {"-c", log});
        QVERIFY(gzip.waitForFinished(10000));
        // Without --store, the monitor's: the log's path and .db.
        QCOMPARE(sorvane({"import", "userfile"}, folder),
                 "0\n12 lines read, 3 added, 3 already there, 6 not understood\n");
        QCOMPARE(sorvane({"import", log}, folder),
                 "0\n12 lines read, 0 added, 6 already there, 6 not understood\n");
        const QStringList store{"--store", path};
        const QByteArray alice = "2026-12-01 10:00:00,'=alice,0.0.0.0,10.0.0.1,LoggedOn,,imported," +
                                 QSysInfo::machineHostName().toUtf8() + "\r\n";
        QCOMPARE(sorvane(QStringList{"events", "--to", "2026-12-01T10:05", "--format", "csv"} + store),
                 "0\nTIME,USER,ADDRESS,SERVER,EVENT,GROUP,IMPORTED,SITE\r\n" + alice + alice);

        const struct {
            QStringList arguments;
            const char* said;
        } bad[] = {
            {{"events", "--at", "2026-12-01"}, "--at is for sessions, not events"},
            {{"sessions", "--from", "yesterday"},
             "--from needs a local time such as 2026-12-01T14:05, not \"yesterday\""},
            {{"sessions", "--address", "10.0.0"}, "--address needs an IPv4 address a.b.c.d, not \"10.0.0\""},
            {{"sessions", "--format", "xml"}, "--format needs text, csv or json, not \"xml\""},
            {{"sessions", "--at", "2026-12-01", "--to", "2026-12-02"},
             "--at is a moment: give it without --from and --to"},
            {{"sessions", "--from", "2026-12-02 10:00:00", "--to", "2026-12-01"},
             "--from must come before --to"},
            {{"import"}, "import needs at least one log FILE"},
        };
        for (const auto& b : bad)
            QCOMPARE(sorvane(b.arguments + store), "2\nsorvane: " + QByteArray(b.said) + "\n");
        QVERIFY(sorvane({"sessions", "--help"}).startsWith("0\nUsage: "));
        QCOMPARE(sorvane({"import", log, "--store", "postgresql://a@127.0.0.1/b"}),
                 "2\nsorvane: import brings logs into a store file, not a server\n");
        const QString missing = m_dir.filePath("missing.db");
        QCOMPARE(sorvane({"sessions", "--store", missing}),
                 "1\nsorvane: store " + missing.toUtf8() + ": no such file\n");
        {
            StoreLock monitor;
            QCOMPARE(monitor.take(path), QString());
            QCOMPARE(sorvane(QStringList{"import", log} + store),
                     "1\nsorvane: store " + path.toUtf8() + ": locked by another running monitor\n");
        }
        if (::geteuid() != 0)
            QSKIP("only root can give the store to another user");
        // A child, as this process gave up its capabilities with the monitors it ran.
        QCOMPARE(QProcess::execute("chown", {"65534:65534", path}), 0);
        QCOMPARE(
            sorvane(QStringList{"import", log} + store),
            "1\nsorvane: store " + path.toUtf8() +
                ": it belongs to nobody: run the import as nobody, so that the monitor can still write it\n");
        // Its owner may read it where he may not write, with no monitor running to share its index.
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                        QFile::ExeGroup | QFile::ExeOther));
        QCOMPARE(
            QProcess::execute("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                          SORVANE_BINARY, "events", "--store", path, "--format", "json"}),
            0);
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
            "[ \"$SORVANE_ALERT_USER\" = hang ] && { sleep 60 & echo $! >> children; wait; }\n"
            "touch live.$$\n{ env | grep ^SORVANE_ALERT_ | LC_ALL=C sort; ls live.* | wc -l; cat; } > "
            "t.$$\n"
            "mv t.$$ run.$$; sleep 0.3; rm live.$$\n[ \"$SORVANE_ALERT_USER\" != fail ]\n";
        QVERIFY(QDir().mkdir(runs) && writeFileBytes(settings.alertCommand.path, script) &&
                QFile::setPermissions(settings.alertCommand.path, QFile::ReadOwner | QFile::ExeOwner));
        const quint16 port = settings.endpoints.eventPort = freeUdpPort();
        settings.dialog.userFilePath = QFile::encodeName(log);
        settings.store.path = log + ".db";
        HeadlessMonitor monitor(settings, [](const QString&) {});
        QVERIFY(monitor.start());
        const LoopbackPeer firewall;
        const auto send = [&](quint8 code, const QByteArray& user) {
            firewall.sendTo(settings.endpoints.eventPort,
                            eventDatagram(code, user, "Staff", ip(192, 168, 1, 5), ip(10, 0, 0, 1)));
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
        const auto running = [&] {
            QStringList alive;
            for (const QByteArray& child : fileBytes(runs + "/children").split('\n'))
                if (!child.isEmpty() && fileBytes("/proc/" + child + "/stat").contains(") S "))
                    alive << child;
            return alive.size();
        };
        QCOMPARE(fileBytes(runs + "/children").count('\n'), 1);
        QCOMPARE(running(), 0);
        QStringList seen;
        for (const QString& run : QDir(runs).entryList({"run.*"})) {
            QStringList lines = QString::fromUtf8(fileBytes(runs + '/' + run)).split('\n');
            QVERIFY2(lines.size() == 10 && lines[7].trimmed().toInt() <= 4, qPrintable(lines.join('|')));
            QVERIFY(QDateTime::fromString(lines[5].section('=', 1), Qt::ISODateWithMs).isValid());
            seen << (lines.mid(0, 5) + lines.mid(6, 1) + lines.mid(8)).join('|');
        }
        const QString text = "filtered site accessed: server 10.0.0.1, user jos\u00E9 \"$(id)\"";
        QVERIFY2(seen.contains("SORVANE_ALERT_ADDRESS=192.168.1.5|SORVANE_ALERT_COUNT=1|SORVANE_ALERT_RULE="
                               "filtered-site|SORVANE_ALERT_SERVER=10.0.0.1|SORVANE_ALERT_TEXT=" +
                               text + "|SORVANE_ALERT_USER=jos\u00E9 \"$(id)\"|" + text + '|'),
                 qPrintable(seen.join('\n')));
        QCOMPARE(seen.filter("=account-locked").size(), 2);
        QCOMPARE(seen.filter("COUNT=9999|").size(), 1);
        monitor.stop(); // nothing waited: nothing more failed
        QVERIFY(monitor.statusText().endsWith(", 2 alert commands failed"));
        QCOMPARE(fileBytes(log).count('\n'), 10009);
        QCOMPARE(sorvane({"events", "--store", settings.store.path, "--format", "csv"}).count('\n'), 10011);

        // At an ending, those that run are killed and those that wait are dropped, all counted.
        settings.alertCommand = {settings.alertCommand.path, 60000, 2};
        settings.endpoints.eventPort = freeUdpPort();
        HeadlessMonitor ending(settings, [](const QString&) {});
        QVERIFY(ending.start());
        for (const quint8 code : {AccountMarkedForLockUp, AccountIsDisabled, AccountLockedUp})
            send(code, "hang");
        QTRY_COMPARE_WITH_TIMEOUT(running(), 2, 20000);
        QTRY_COMPARE(fileBytes(log).count('\n'), 10012);
        ending.stop();
        QCOMPARE(running(), 0);
        QCOMPARE(ending.statusText(),
                 QStringLiteral("Listening for events on UDP port %1, 3 alert commands failed")
                     .arg(settings.endpoints.eventPort));
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
