#include "LoopbackSocket.h"
#include "fwsim/DemoDay.h"
#include "fwsim/ReplayFormat.h"
#include "fwsim/SimOptions.h"

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace
{

const QByteArray DISCOVER_PACKET =
    QByteArray::fromHex("0100000000303030303030303030303030446973636f766572205061636b657400");

// An event datagram laid out by hand at its offsets, independent of the project's encoder.
QByteArray eventBytes(quint8 code, const QByteArray& user, const QByteArray& group, const QByteArray& login,
                      const QByteArray& ip, const QByteArray& server, const QByteArray& date,
                      const QByteArray& time, quint8 header = 0)
{
    QByteArray d(157, '\0');
    d[1] = static_cast<char>(header);
    d[3] = static_cast<char>(code);
    d.replace(4, user.size(), user);
    d.replace(44, group.size(), group);
    d.replace(84, login.size(), login);
    d.replace(99, 4, QByteArray::fromHex(ip));
    d.replace(103, 4, QByteArray::fromHex(server));
    d.replace(107, date.size(), date);
    d.replace(132, time.size(), time);
    return d;
}

QByteArray field(const QByteArray& datagram, int offset, int width)
{
    const QByteArray raw = datagram.mid(offset, width);
    const int nul = raw.indexOf('\0');
    return nul < 0 ? raw : raw.left(nul);
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

QString monitorArg(const LoopbackSocket& socket)
{
    return QStringLiteral("--monitor=127.0.0.1:%1").arg(socket.port());
}

// Reads the simulator's stderr until `text` shows up or the deadline passes.
bool waitForStderr(QProcess& process, const QByteArray& text, QByteArray& seen, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!seen.contains(text) && !deadline.hasExpired()) {
        if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
            break;
        seen += process.readAllStandardError();
    }
    return seen.contains(text);
}

bool parseText(const QByteArray& text, QVector<ReplayStep>& steps, ReplayError& error)
{
    return parseReplay(text, steps, error);
}

} // namespace

class FwsimTest : public QObject
{
    Q_OBJECT

private slots:
    void replayFileGivesExactlyItsDatagramsInOrder();
    void floodDeliversEachSequenceNumberOnce();
    void discoverPacketGetsOneReplyPerServerAndIsRecorded();
    void demoSendsWellFormedEventsOfTheDay();
    void badOptionsExitWithCodeTwo_data();
    void badOptionsExitWithCodeTwo();
    void helpAndVersionExitWithZero();

    void escapesAndQuotesGiveTheirBytes();
    void fullWidthFieldsCarryNoNul();
    void rawAndRawFillGiveTheirBytes();
    void waitsAndCommentsParse();
    void malformedLinesNameTheirLineNumber_data();
    void malformedLinesNameTheirLineNumber();
    void defaultOptionsMatchTheFirewallNetwork();
    void demoDayTellsEveryKindOfEvent();

    void cleanup();

private:
    QProcess* startSim(const QStringList& arguments);
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

QProcess* FwsimTest::startSim(const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(FWSIM_PATH));
    process->setArguments(arguments);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

void FwsimTest::cleanup()
{
    for (const auto& process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}

void FwsimTest::replayFileGivesExactlyItsDatagramsInOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    const QByteArray replay =
        "# one of each\n"
        "event code=0 user=alice group=Staff login=08:00 ip=10.1.0.5 server=10.0.0.1 date=12/06/2026 "
        "time=08:00:01\n"
        "\n"
        "raw-fill 513 41\r\n"
        "raw 01 07 01\n"
        "event code=1 user=bob\\r\\nsmith group=\"Night Shift\" ip=10.1.0.6 server=192.168.1.10 "
        "date=12/06/2026 time=08:00:02   # a trailing note\n"
        "event code=12 user=" +
        forty + " server=10.0.0.3 date=12/06/2026 time=23:59:59\n" +
        "event code=7 header=7 user=x\\x23y\\\\z date=12/06/2026\n"
        "raw 0107010000\n";
    const QString path = writeFile(dir, QStringLiteral("day.replay"), replay);
    QVERIFY(!path.isEmpty());

    LoopbackSocket monitor;
    QProcess* sim =
        startSim({QStringLiteral("replay"), path, monitorArg(monitor), QStringLiteral("--discovery-port=0")});
    QVERIFY(sim->waitForFinished(20000));
    QCOMPARE(sim->exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim->exitCode(), 0);

    const QList<QByteArray> expected = {
        eventBytes(0, "alice", "Staff", "08:00", "0a010005", "0a000001", "12/06/2026", "08:00:01"),
        QByteArray(513, 'A'),
        QByteArray::fromHex("010701"),
        eventBytes(1, "bob\r\nsmith", "Night Shift", "", "0a010006", "c0a8010a", "12/06/2026", "08:00:02"),
        eventBytes(12, forty, "", "", "00000000", "0a000003", "12/06/2026", "23:59:59"),
        eventBytes(7, "x#y\\z", "", "", "00000000", "00000000", "12/06/2026", "", 7),
        QByteArray::fromHex("0107010000"),
    };
    for (int i = 0; i < expected.size(); ++i) {
        QByteArray datagram;
        QVERIFY2(monitor.receive(datagram, QDeadlineTimer(5000)),
                 qPrintable(QStringLiteral("datagram %1").arg(i)));
        QCOMPARE(datagram.toHex(), expected[i].toHex());
    }
    QCOMPARE(field(expected[4], 4, 40), forty); // the 40-character name ran into the group field's NULs
    QByteArray extra;
    QVERIFY(!monitor.receive(extra, QDeadlineTimer(300)));
}

void FwsimTest::floodDeliversEachSequenceNumberOnce()
{
    LoopbackSocket monitor;
    QProcess* sim =
        startSim({QStringLiteral("flood"), QStringLiteral("--rate=5000"), QStringLiteral("--count=1000"),
                  monitorArg(monitor), QStringLiteral("--discovery-port=0")});
    QVector<int> seen(1000, 0);
    int received = 0;
    QByteArray datagram;
    while (received < 1000 && monitor.receive(datagram, QDeadlineTimer(10000))) {
        ++received;
        QCOMPARE(datagram.size(), 157);
        const QByteArray user = field(datagram, 4, 40);
        QVERIFY2(user.startsWith('u'), user.constData());
        bool ok = false;
        const int sequence = user.mid(1).toInt(&ok);
        QVERIFY2(ok && sequence >= 0 && sequence < 1000, user.constData());
        ++seen[sequence];
    }
    QCOMPARE(received, 1000);
    QVERIFY(!monitor.receive(datagram, QDeadlineTimer(300)));
    for (int i = 0; i < 1000; ++i)
        QVERIFY2(seen[i] == 1, qPrintable(QStringLiteral("u%1 came %2 times").arg(i).arg(seen[i])));

    QVERIFY(sim->waitForFinished(20000));
    QCOMPARE(sim->exitCode(), 0);
    QVERIFY(sim->readAllStandardError().contains("sent 1000 datagrams"));
}

void FwsimTest::discoverPacketGetsOneReplyPerServerAndIsRecorded()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script =
        writeFile(dir, QStringLiteral("after.replay"),
                  "wait-discover\nevent code=0 user=late server=10.0.0.7 date=12/06/2026\n");
    const QString recordPath = dir.filePath(QStringLiteral("discover.log"));
    LoopbackSocket monitor;
    LoopbackSocket console;

    QProcess* sim = nullptr;
    QByteArray simErr;
    quint16 discoveryPort = 0;
    // The free port may be taken between the probe and the simulator's bind: try a few.
    for (int attempt = 0; attempt < 5 && !sim; ++attempt) {
        discoveryPort = freeUdpPort();
        QProcess* candidate = startSim({QStringLiteral("replay"), script, monitorArg(monitor),
                                        QStringLiteral("--discovery-port=%1").arg(discoveryPort),
                                        QStringLiteral("--servers=192.168.1.10,10.0.0.7,255.255.255.255"),
                                        QStringLiteral("--record=%1").arg(recordPath)});
        simErr.clear();
        if (waitForStderr(*candidate, "answering discovery on 0.0.0.0:", simErr))
            sim = candidate;
    }
    QVERIFY2(sim, simErr.constData());

    QVERIFY(console.sendToLoopback(discoveryPort, DISCOVER_PACKET));
    const QList<QByteArray> servers = {QByteArray::fromHex("c0a8010a"), QByteArray::fromHex("0a000007"),
                                       QByteArray::fromHex("ffffffff")};
    for (const QByteArray& server : servers) {
        QByteArray reply;
        quint16 fromPort = 0;
        QVERIFY(console.receive(reply, QDeadlineTimer(5000), &fromPort));
        QVERIFY(reply.size() >= 5);
        QCOMPARE(reply.mid(1, 4).toHex(), server.toHex());
        QCOMPARE(fromPort, discoveryPort);
    }
    QByteArray extra;
    QVERIFY(!console.receive(extra, QDeadlineTimer(300)));

    // The line is written before the replies leave.
    QFile record(recordPath);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(),
             QStringLiteral("127.0.0.1:%1 ").arg(console.port()).toLatin1() + DISCOVER_PACKET.toHex() + '\n');

    // Only an answered discovery let the replay go on.
    QByteArray event;
    QVERIFY(monitor.receive(event, QDeadlineTimer(5000)));
    QCOMPARE(field(event, 4, 40), QByteArray("late"));
    QVERIFY(sim->waitForFinished(10000));
    QCOMPARE(sim->exitCode(), 0);
}

void FwsimTest::demoSendsWellFormedEventsOfTheDay()
{
    LoopbackSocket monitor;
    QProcess* sim = startSim({QStringLiteral("demo"), QStringLiteral("--speed=50"),
                              QStringLiteral("--seed=7"), QStringLiteral("--servers=10.0.0.1,10.0.0.2"),
                              monitorArg(monitor), QStringLiteral("--discovery-port=0")});
    const QRegularExpression date(QStringLiteral("^\\d\\d/\\d\\d/\\d{4}$"));
    const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
    const QSet<QByteArray> servers = {QByteArray::fromHex("0a000001"), QByteArray::fromHex("0a000002")};
    for (int i = 0; i < 40; ++i) {
        QByteArray datagram;
        QVERIFY(monitor.receive(datagram, QDeadlineTimer(5000)));
        QCOMPARE(datagram.size(), 157);
        QVERIFY(static_cast<quint8>(datagram[3]) <= 9);
        const QString dateText = QString::fromLatin1(field(datagram, 107, 25));
        QVERIFY2(date.match(dateText).hasMatch(), qPrintable(dateText));
        QVERIFY(QDate::fromString(dateText, QStringLiteral("MM/dd/yyyy")).daysTo(QDate::currentDate()) <= 1);
        QVERIFY(time.match(QString::fromLatin1(field(datagram, 132, 25))).hasMatch());
        QVERIFY(servers.contains(datagram.mid(103, 4)));
    }
    sim->kill();
    QVERIFY(sim->waitForFinished(5000));
}

void FwsimTest::badOptionsExitWithCodeTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("demo"), QStringLiteral("--bogus")}
                                    << QStringLiteral("bogus");
    QTest::newRow("no scenario") << QStringList{} << QStringLiteral("no scenario");
    QTest::newRow("unknown scenario") << QStringList{QStringLiteral("storm")} << QStringLiteral("storm");
    QTest::newRow("negative rate") << QStringList{QStringLiteral("flood"), QStringLiteral("--rate=-5")}
                                   << QStringLiteral("--rate");
    QTest::newRow("count for demo") << QStringList{QStringLiteral("demo"), QStringLiteral("--count=5")}
                                    << QStringLiteral("--count");
    QTest::newRow("monitor without port")
        << QStringList{QStringLiteral("demo"), QStringLiteral("--monitor=127.0.0.1")}
        << QStringLiteral("--monitor");
    QTest::newRow("short server") << QStringList{QStringLiteral("demo"),
                                                 QStringLiteral("--servers=10.0.0.1,1.2.3")}
                                  << QStringLiteral("1.2.3");
    QTest::newRow("port too big") << QStringList{QStringLiteral("demo"),
                                                 QStringLiteral("--discovery-port=70000")}
                                  << QStringLiteral("--discovery-port");
    QTest::newRow("option twice") << QStringList{QStringLiteral("flood"), QStringLiteral("--count=5"),
                                                 QStringLiteral("--count=6")}
                                  << QStringLiteral("--count given more than once");
    QTest::newRow("record without discovery")
        << QStringList{QStringLiteral("demo"), QStringLiteral("--record=@DIR@/record.txt"),
                       QStringLiteral("--discovery-port=0")}
        << QStringLiteral("--record needs discovery");
    QTest::newRow("missing replay file")
        << QStringList{QStringLiteral("replay"), QStringLiteral("/nonexistent/none.replay")}
        << QStringLiteral("cannot read /nonexistent/none.replay");
    QTest::newRow("bad replay line") << QStringList{QStringLiteral("replay"), QStringLiteral("@BAD@")}
                                     << QStringLiteral("bad.replay:3: unknown directive 'evnt'");
}

void FwsimTest::badOptionsExitWithCodeTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString bad = writeFile(dir, QStringLiteral("bad.replay"), "# fine\nraw 01\nevnt code=0\n");
    arguments.replaceInStrings(QStringLiteral("@BAD@"), bad);
    arguments.replaceInStrings(QStringLiteral("@DIR@"), dir.path());
    // Nothing must be sent: the monitor is a socket of ours that stays empty.
    LoopbackSocket monitor;
    arguments << monitorArg(monitor);
    if (!arguments.join(QLatin1Char(' ')).contains(QLatin1String("--discovery-port")))
        arguments << QStringLiteral("--discovery-port=0");

    QProcess* sim = startSim(arguments);
    QVERIFY(sim->waitForFinished(10000));
    QCOMPARE(sim->exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim->exitCode(), 2);
    const QString err = QString::fromLocal8Bit(sim->readAllStandardError()).trimmed();
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY2(!err.contains(QLatin1Char('\n')), qPrintable(err));
    QByteArray datagram;
    QVERIFY(!monitor.receive(datagram, QDeadlineTimer(0)));
}

void FwsimTest::helpAndVersionExitWithZero()
{
    QProcess* help = startSim({QStringLiteral("--help")});
    QVERIFY(help->waitForFinished(10000));
    QCOMPARE(help->exitCode(), 0);
    const QByteArray text = help->readAllStandardOutput();
    QVERIFY(text.contains("raw-fill") && text.contains("--monitor") && text.contains("wait-discover"));

    QProcess* version = startSim({QStringLiteral("--version")});
    QVERIFY(version->waitForFinished(10000));
    QCOMPARE(version->exitCode(), 0);
    QVERIFY(version->readAllStandardOutput().startsWith("sorvane-fwsim "));
}

void FwsimTest::escapesAndQuotesGiveTheirBytes()
{
    QVector<ReplayStep> steps;
    ReplayError error;
    QVERIFY(parseText("event user=\"Jane Doe # 2\" group=a\\tb\\\"c\\#d\\\\e login=\\x41\\x7e\\xFF\n", steps,
                      error));
    QCOMPARE(steps.size(), 1);
    QCOMPARE(steps[0].line, 1);
    const QByteArray& d = steps[0].datagram;
    QCOMPARE(field(d, 4, 40), QByteArray("Jane Doe # 2"));
    QCOMPARE(field(d, 44, 40), QByteArray("a\tb\"c#d\\e"));
    QCOMPARE(field(d, 84, 15), QByteArray("A~\xff"));

    QByteArray value;
    QString message;
    QVERIFY(unescapeValue("CR\\rLF\\n", value, message));
    QCOMPARE(value, QByteArray("CR\rLF\n"));
    QVERIFY(!unescapeValue("\\q", value, message));
    QVERIFY(message.contains(QLatin1String("\\q")));
    QVERIFY(!unescapeValue("\\x4", value, message));
}

void FwsimTest::fullWidthFieldsCarryNoNul()
{
    QVector<ReplayStep> steps;
    ReplayError error;
    const QByteArray text = "event user=" + QByteArray(40, 'u') + " group=" + QByteArray(40, 'g') +
                            " login=" + QByteArray(15, 'l') + " date=" + QByteArray(25, 'd') +
                            " time=" + QByteArray(25, 't') + " ip=255.255.255.255 server=0.0.0.0 code=255\n";
    QVERIFY2(parseText(text, steps, error), qPrintable(error.message));
    const QByteArray expected = eventBytes(255, QByteArray(40, 'u'), QByteArray(40, 'g'), QByteArray(15, 'l'),
                                           "ffffffff", "00000000", QByteArray(25, 'd'), QByteArray(25, 't'));
    QCOMPARE(steps[0].datagram.toHex(), expected.toHex());
    QVERIFY(!steps[0].datagram.mid(4, 40).contains('\0'));
}

void FwsimTest::rawAndRawFillGiveTheirBytes()
{
    QVector<ReplayStep> steps;
    ReplayError error;
    QVERIFY(parseText("raw\nraw 0a0B 0c\nraw-fill 5 ff 0102\nraw-fill 0 00\n", steps, error));
    QCOMPARE(steps.size(), 4);
    QCOMPARE(steps[0].datagram, QByteArray());
    QCOMPARE(steps[1].datagram, QByteArray::fromHex("0a0b0c"));
    QCOMPARE(steps[2].datagram, QByteArray::fromHex("0102ffffff"));
    QCOMPARE(steps[3].datagram, QByteArray());
    QCOMPARE(steps[2].line, 3);
}

void FwsimTest::waitsAndCommentsParse()
{
    QVector<ReplayStep> steps;
    ReplayError error;
    QVERIFY(
        parseText("  # only a comment\r\n\r\n\twait 250 # pause\nwait-discover\nraw 01#02\n", steps, error));
    QCOMPARE(steps.size(), 3);
    QCOMPARE(steps[0].kind, ReplayStep::Kind::Wait);
    QCOMPARE(steps[0].waitMs, 250);
    QCOMPARE(steps[0].line, 3);
    QCOMPARE(steps[1].kind, ReplayStep::Kind::WaitDiscover);
    QCOMPARE(steps[2].datagram, QByteArray::fromHex("01"));
}

void FwsimTest::malformedLinesNameTheirLineNumber_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown directive") << QByteArray("send 01") << QStringLiteral("unknown directive 'send'");
    QTest::newRow("name too long") << "event user=" + QByteArray(41, 'x') << QStringLiteral("at most 40");
    QTest::newRow("nul in a field") << QByteArray("event user=a\\x00b") << QStringLiteral("NUL");
    QTest::newRow("unknown key") << QByteArray("event colour=red") << QStringLiteral("'colour'");
    QTest::newRow("key twice") << QByteArray("event user=a user=b") << QStringLiteral("twice");
    QTest::newRow("code too big") << QByteArray("event code=256") << QStringLiteral("code");
    QTest::newRow("bad address") << QByteArray("event ip=10.0.0.256") << QStringLiteral("ip");
    QTest::newRow("no equals") << QByteArray("event alice") << QStringLiteral("key=value");
    QTest::newRow("odd hex") << QByteArray("raw 010") << QStringLiteral("two digits");
    QTest::newRow("not hex") << QByteArray("raw zz") << QStringLiteral("not hex");
    QTest::newRow("fill too long") << QByteArray("raw-fill 65508 00") << QStringLiteral("raw-fill LENGTH");
    QTest::newRow("prefix too long") << QByteArray("raw-fill 1 00 0102") << QStringLiteral("do not fit");
    QTest::newRow("open quote") << QByteArray("event user=\"alice") << QStringLiteral("unterminated");
    QTest::newRow("bad wait") << QByteArray("wait soon") << QStringLiteral("wait");
    QTest::newRow("trailing backslash") << QByteArray("event user=a\\") << QStringLiteral("backslash");
}

void FwsimTest::malformedLinesNameTheirLineNumber()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, message);
    QVector<ReplayStep> steps;
    ReplayError error;
    QVERIFY(!parseText("# header\nraw 01\n\n" + line + "\nraw 02\n", steps, error));
    QCOMPARE(error.line, 4);
    QVERIFY2(error.message.contains(message), qPrintable(error.message));
    QVERIFY(steps.isEmpty());
}

void FwsimTest::defaultOptionsMatchTheFirewallNetwork()
{
    SimOptions options;
    QString error;
    QCOMPARE(parseSimOptions({QStringLiteral("sorvane-fwsim"), QStringLiteral("demo")}, options, error),
             OptionsResult::Run);
    QCOMPARE(options.servers.size(), 3);
    QCOMPARE(options.servers[2], ipAddressFromBytes(10, 0, 0, 3));
    QCOMPARE(options.monitorAddress, 0x7F000001u);
    QCOMPARE(options.monitorPort, quint16(1023));
    QCOMPARE(options.discoveryPort, quint16(1019));

    QCOMPARE(
        parseSimOptions({QStringLiteral("sorvane-fwsim"), QStringLiteral("flood"), QStringLiteral("--rate"),
                         QStringLiteral("250000"), QStringLiteral("--count"), QStringLiteral("7"),
                         QStringLiteral("--monitor"), QStringLiteral("127.1.2.3:40000")},
                        options, error),
        OptionsResult::Run);
    QCOMPARE(options.scenario, SimOptions::Scenario::Flood);
    QCOMPARE(options.rate, 250000.0);
    QCOMPARE(options.count, qint64(7));
    QCOMPARE(options.monitorAddress, 0x7F010203u);
    QCOMPARE(options.monitorPort, quint16(40000));
}

void FwsimTest::demoDayTellsEveryKindOfEvent()
{
    const QVector<quint32> servers = {ipAddressFromBytes(10, 0, 0, 1), ipAddressFromBytes(10, 0, 0, 2)};
    DemoDay day(servers, 3);
    QSet<quint32> codes;
    QSet<quint32> online;
    for (int i = 0; i < 3000; ++i) {
        const EventRecord r = day.next("12/06/2026", "08:00:00");
        codes.insert(r.EventCode);
        QVERIFY(servers.contains(r.ServerIPAddress));
        QCOMPARE(QByteArray(r.Date), QByteArray("12/06/2026"));
        if (r.EventCode == LoggedOn) {
            QVERIFY2(!online.contains(r.IPAddress), r.Username);
            online.insert(r.IPAddress);
        } else if (r.EventCode == LoggedOff || r.EventCode == AccessTimeExpired) {
            QVERIFY2(online.remove(r.IPAddress), r.Username);
        } else if (r.EventCode == FirewallRebooted) {
            // Users of the rebooted server leave without a log-off of their own.
            const quint8 subnet = r.ServerIPAddress == servers[0] ? 1 : 2;
            online.removeIf(
                [subnet](quint32 ip) { return reinterpret_cast<const quint8*>(&ip)[2] == subnet; });
        }
        const int delay = day.nextDelayMs();
        QVERIFY(delay >= 200 && delay <= 500);
    }
    QCOMPARE(codes.size(), 10);
}

QTEST_MAIN(FwsimTest)
#include "tst_fwsim.moc"
