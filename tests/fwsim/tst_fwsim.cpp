// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "fwsim/DemoDay.h"
#include "fwsim/ReplayFormat.h"
#include "fwsim/SimOptions.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? file.fileName()
                                                                                    : QString();
}

QString monitorArg(const LoopbackPeer& socket)
{
    return QStringLiteral("--monitor=127.0.0.1:%1").arg(socket.port());
}

} // namespace

class FwsimTest : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess* startSim(const QStringList& arguments)
    {
        m_processes.push_back(std::make_unique<QProcess>());
        m_processes.back()->start(QStringLiteral(FWSIM_PATH), arguments);
        return m_processes.back().get();
    }

private slots:
    void cleanup()
    {
        for (const auto& process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
        m_processes.clear();
    }

    void replayFileGivesExactlyItsDatagramsInOrder()
    {
        QTemporaryDir dir;
        const QByteArray forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
        const QString path = writeFile(
            dir, "day.replay",
            "# one of each\n"
            "event code=0 user=alice group=Staff login=08:00 ip=10.1.0.5 server=10.0.0.1 date=12/06/2026 "
            "time=08:00:01\n\n"
            "raw-fill 513 41\r\n"
            "raw 01 07 01\n"
            "event code=1 user=bob\\r\\nsmith group=\"Night Shift\" ip=10.1.0.6 server=192.168.1.10 "
            "date=12/06/2026 time=08:00:02   # a trailing note\n"
            "event code=12 user=" +
                forty + " server=10.0.0.3 date=12/06/2026 time=23:59:59\n" +
                "event code=7 header=7 user=x\\x23y\\\\z date=12/06/2026\n"
                "raw 0107010000\n");
        LoopbackPeer monitor;
        QProcess* sim = startSim({"replay", path, monitorArg(monitor), "--discovery-port=0"});
        QVERIFY(sim->waitForFinished(20000));
        QCOMPARE(sim->exitCode(), 0);
        const QList<QByteArray> expected = {
            eventDatagram(0, "alice", "Staff", ip(10, 1, 0, 5), ip(10, 0, 0, 1), "12/06/2026", "08:00:01",
                          "08:00"),
            QByteArray(513, 'A'),
            QByteArray::fromHex("010701"),
            eventDatagram(1, "bob\r\nsmith", "Night Shift", ip(10, 1, 0, 6), ip(192, 168, 1, 10),
                          "12/06/2026", "08:00:02", ""),
            eventDatagram(12, forty, "", 0, ip(10, 0, 0, 3), "12/06/2026", "23:59:59", ""),
            eventDatagram(7, "x#y\\z", "", 0, 0, "12/06/2026", "", "", 7),
            QByteArray::fromHex("0107010000"),
        };
        for (const QByteArray& want : expected) {
            QByteArray datagram;
            QVERIFY(monitor.receive(datagram, 5000));
            QCOMPARE(datagram.toHex(), want.toHex());
        }
        QByteArray extra;
        QVERIFY(!monitor.receive(extra, 300));
    }

    void demoDayTellsEveryKindOfEventOfTheServersPlayed()
    {
        const QVector<quint32> servers = {ip(10, 0, 0, 1), ip(10, 0, 0, 2)};
        DemoDay day(servers, 3);
        QSet<quint32> codes;
        QSet<quint32> online;
        for (int i = 0; i < 3000; ++i) {
            const EventRecord r = day.next("12/06/2026", "08:00:00");
            codes.insert(r.EventCode);
            QVERIFY(servers.contains(r.ServerIPAddress));
            if (r.EventCode == LoggedOn) {
                QVERIFY(!online.contains(r.IPAddress));
                online.insert(r.IPAddress);
            } else if (r.EventCode == LoggedOff || r.EventCode == AccessTimeExpired) {
                QVERIFY(online.remove(r.IPAddress));
            } else if (r.EventCode == FirewallRebooted) {
                const quint8 subnet = r.ServerIPAddress == servers[0] ? 1 : 2;
                online.removeIf(
                    [subnet](quint32 a) { return reinterpret_cast<const quint8*>(&a)[2] == subnet; });
            }
            const int delay = day.nextDelayMs();
            QVERIFY(delay >= 200 && delay <= 500);
        }
        QCOMPARE(codes.size(), 10);
    }

    void replayLinesGiveTheirBytes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes"); // hex of each datagram, "|" apart; "wait N", "discover"
        QTest::newRow("escapes and quotes")
            << QByteArray("event user=\"Jane Doe # 2\" group=a\\tb\\\"c\\#d\\\\e login=\\x41\\x7e\\xFF\n")
            << eventDatagram(0, "Jane Doe # 2", "a\tb\"c#d\\e", 0, 0, "", "", "A~\xff").toHex();
        QTest::newRow("full width, no NUL")
            << "event user=" + QByteArray(40, 'u') + " group=" + QByteArray(40, 'g') +
                   " login=" + QByteArray(15, 'l') + " date=" + QByteArray(25, 'd') +
                   " time=" + QByteArray(25, 't') + " ip=255.255.255.255 server=0.0.0.0 code=255\n"
            << eventDatagram(255, QByteArray(40, 'u'), QByteArray(40, 'g'), ip(255, 255, 255, 255), 0,
                             QByteArray(25, 'd'), QByteArray(25, 't'), QByteArray(15, 'l'))
                   .toHex();
        QTest::newRow("raw and raw-fill")
            << QByteArray("raw\nraw 0a0B 0c\nraw-fill 5 ff 0102\nraw-fill 0 00\n")
            << QByteArray("|0a0b0c|0102ffffff|");
        QTest::newRow("waits and comments")
            << QByteArray("  # only a comment\r\n\r\n\twait 250 # pause\nwait-discover\nraw 01#02\n")
            << QByteArray("wait 250|discover|01");
    }

    void replayLinesGiveTheirBytes()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QVector<ReplayStep> steps;
        ReplayError error;
        QVERIFY2(parseReplay(text, steps, error), qPrintable(error.message));
        QByteArrayList got;
        for (const ReplayStep& step : steps)
            got << (step.kind == ReplayStep::Kind::Wait           ? "wait " + QByteArray::number(step.waitMs)
                    : step.kind == ReplayStep::Kind::WaitDiscover ? QByteArray("discover")
                                                                  : step.datagram.toHex());
        QCOMPARE(got.join('|'), bytes);
    }

    void malformedLinesNameTheirLineNumber_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown directive") << QByteArray("send 01") << "unknown directive 'send'";
        QTest::newRow("name too long") << "event user=" + QByteArray(41, 'x') << "at most 40";
        QTest::newRow("nul in a field") << QByteArray("event user=a\\x00b") << "NUL";
        QTest::newRow("unknown key") << QByteArray("event colour=red") << "'colour'";
        QTest::newRow("key twice") << QByteArray("event user=a user=b") << "twice";
        QTest::newRow("code too big") << QByteArray("event code=256") << "code";
        QTest::newRow("bad address") << QByteArray("event ip=10.0.0.256") << "ip";
        QTest::newRow("no equals") << QByteArray("event alice") << "key=value";
        QTest::newRow("odd hex") << QByteArray("raw 010") << "two digits";
        QTest::newRow("not hex") << QByteArray("raw zz") << "not hex";
        QTest::newRow("fill too long") << QByteArray("raw-fill 65508 00") << "raw-fill LENGTH";
        QTest::newRow("prefix too long") << QByteArray("raw-fill 1 00 0102") << "do not fit";
        QTest::newRow("open quote") << QByteArray("event user=\"alice") << "unterminated";
        QTest::newRow("bad wait") << QByteArray("wait soon") << "wait";
        QTest::newRow("trailing backslash") << QByteArray("event user=a\\") << "backslash";
        QTest::newRow("unknown escape") << QByteArray("event user=a\\q") << "\\q";
        QTest::newRow("short hex escape") << QByteArray("event user=a\\x4") << "two hex digits";
    }

    void malformedLinesNameTheirLineNumber()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, message);
        QVector<ReplayStep> steps;
        ReplayError error;
        QVERIFY(!parseReplay("# header\nraw 01\n\n" + line + "\nraw 02\n", steps, error));
        QCOMPARE(error.line, 4);
        QVERIFY2(error.message.contains(message), qPrintable(error.message));
        QVERIFY(steps.isEmpty());
    }

    void optionsAreReadOrRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("read"); // the options read, or the error's telling part
        QTest::newRow("defaults") << QStringList{"demo"}
                                  << "demo 3 servers, last 10.0.0.3; 127.0.0.1:1023; 1019";
        QTest::newRow("flood") << QStringList{"flood", "--rate",    "250000",          "--count",
                                              "7",     "--monitor", "127.1.2.3:40000", "--discovery-port",
                                              "0"}
                               << "flood 250000/s x 7; 127.1.2.3:40000; 0";
        QTest::newRow("unknown option") << QStringList{"demo", "--bogus"} << "bogus";
        QTest::newRow("no scenario") << QStringList{} << "no scenario";
        QTest::newRow("unknown scenario") << QStringList{"storm"} << "storm";
        QTest::newRow("negative rate") << QStringList{"flood", "--rate=-5"} << "--rate";
        QTest::newRow("count for demo") << QStringList{"demo", "--count=5"} << "--count";
        QTest::newRow("monitor without port") << QStringList{"demo", "--monitor=127.0.0.1"} << "--monitor";
        QTest::newRow("short server") << QStringList{"demo", "--servers=10.0.0.1,1.2.3"} << "1.2.3";
        QTest::newRow("port too big") << QStringList{"demo", "--discovery-port=70000"} << "--discovery-port";
        QTest::newRow("option twice")
            << QStringList{"flood", "--count=5", "--count=6"} << "--count given more than once";
        QTest::newRow("record without discovery")
            << QStringList{"demo", "--record=r.txt", "--discovery-port=0"} << "--record needs discovery";
        QTest::newRow("replay without file") << QStringList{"replay"} << "replay needs a FILE";
    }

    void optionsAreReadOrRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, read);
        SimOptions o;
        QString error;
        arguments.prepend("sorvane-fwsim");
        if (parseSimOptions(arguments, o, error) != OptionsResult::Run) {
            QVERIFY2(error.contains(read), qPrintable(error));
            QVERIFY(!error.contains(QLatin1Char('\n')));
            return;
        }
        const QString scenario = o.scenario == SimOptions::Scenario::Flood
                                     ? QStringLiteral("flood %1/s x %2").arg(o.rate).arg(o.count)
                                     : QStringLiteral("demo %1 servers, last %2")
                                           .arg(o.servers.size())
                                           .arg(QString::fromLatin1(FormatIPAddress(o.servers.last())));
        QCOMPARE(QStringLiteral("%1; %2.%3.%4.%5:%6; %7")
                     .arg(scenario)
                     .arg(o.monitorAddress >> 24)
                     .arg(o.monitorAddress >> 16 & 255)
                     .arg(o.monitorAddress >> 8 & 255)
                     .arg(o.monitorAddress & 255)
                     .arg(o.monitorPort)
                     .arg(o.discoveryPort),
                 read);
    }

    void aBadReplayFileExitsWithCodeTwoAndSendsNothing()
    {
        QTemporaryDir dir;
        LoopbackPeer monitor;
        for (const QString& file : {writeFile(dir, "bad.replay", "# fine\nraw 01\nevnt code=0\n"),
                                    QStringLiteral("/nonexistent/none.replay")}) {
            QProcess* sim = startSim({"replay", file, monitorArg(monitor), "--discovery-port=0"});
            QVERIFY(sim->waitForFinished(10000));
            QCOMPARE(sim->exitCode(), 2);
            const QByteArray err = sim->readAllStandardError();
            QVERIFY2(err.contains("bad.replay:3: unknown directive 'evnt'") || err.contains("cannot read"),
                     err.constData());
        }
        QByteArray datagram;
        QVERIFY(!monitor.receive(datagram));
    }
};

QTEST_MAIN(FwsimTest)
#include "tst_fwsim.moc"
