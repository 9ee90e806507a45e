// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "fwsim/DemoDay.h"
#include "fwsim/ReplayFormat.h"

#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

class FwsimTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // The simulator's replay of `file` to `monitor`: its exit code and what it wrote to stderr.
    static QPair<int, QByteArray> replay(const QString& file, const LoopbackPeer& monitor)
    {
        QProcess sim; // killed on the way out if it hangs
        sim.start(QStringLiteral(FWSIM_PATH),
                  {"replay", file, QStringLiteral("--monitor=127.0.0.1:%1").arg(monitor.port()),
                   "--discovery-port=0"});
        return {sim.waitForFinished(20000) ? sim.exitCode() : -1, sim.readAllStandardError()};
    }

private slots:
    void replayFileGivesExactlyItsDatagramsInOrderAndABadOneNone()
    {
        const QString path = m_dir.filePath("day.replay");
        QVERIFY(writeFileBytes(path,
                               "# one of each\n"
                               "event code=0 user=alice group=Staff login=08:00 ip=10.1.0.5 server=10.0.0.1 "
                               "date=12/06/2026 time=08:00:01\n\n"
                               "raw-fill 513 41\r\n"
                               "event code=7 header=7 user=x\\x23y\\\\z date=12/06/2026   # a trailing note\n"
                               "raw 0107010000\n"));
        const QString bad = m_dir.filePath("bad.replay");
        QVERIFY(writeFileBytes(bad, "# fine\nraw 01\nevnt code=0\n"));
        LoopbackPeer monitor;
        // A bad file, or none, ends the simulator with code 2 before it sends anything.
        for (const QString& file : {bad, QStringLiteral("/nonexistent/none.replay")}) {
            const auto [code, err] = replay(file, monitor);
            QCOMPARE(code, 2);
            QVERIFY2(err.contains("bad.replay:3: unknown directive 'evnt'") || err.contains("cannot read"),
                     err.constData());
        }
        QCOMPARE(replay(path, monitor).first, 0);
        for (const QByteArray& want :
             {eventDatagram(0, "alice", "Staff", ip(10, 1, 0, 5), ip(10, 0, 0, 1), "12/06/2026", "08:00:01",
                            "08:00"),
              QByteArray(513, 'A'), eventDatagram(7, "x#y\\z", "", 0, 0, "12/06/2026", "", "", 7),
              QByteArray::fromHex("0107010000")}) {
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
        QCOMPARE(codes.size(), int(EVENT_CODE_COUNT));
    }

    void replayLinesGiveTheirBytes_data()
    {
        // The hex of each datagram, "|" apart, "wait N" and "discover"; or "error 4: TEXT".
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes");
        const auto row = [](const char* name, const QByteArray& text, const QByteArray& bytes) {
            QTest::newRow(name) << text << bytes;
        };
        const QByteArray u(40, 'u'), g(40, 'g'), l(15, 'l'), d(25, 'd'), t(25, 't');
        row("escapes and quotes",
            "event user=\"Jane Doe # 2\" group=a\\tb\\\"c\\#d\\\\e\\r\\n login=\\x41\\x7e\\xFF\n",
            eventDatagram(0, "Jane Doe # 2", "a\tb\"c#d\\e\r\n", 0, 0, "", "", "A~\xff").toHex());
        row("full width, no NUL",
            "event user=" + u + " group=" + g + " login=" + l + " date=" + d + " time=" + t +
                " ip=255.255.255.255 server=0.0.0.0 code=255\n",
            eventDatagram(255, u, g, ip(255, 255, 255, 255), 0, d, t, l).toHex());
        row("raw and raw-fill", "raw\nraw 0a0B 0c\nraw-fill 5 ff 0102\nraw-fill 0 00\n",
            "|0a0b0c|0102ffffff|");
        row("waits and comments", "  # only a comment\r\n\r\n\twait 250 # pause\nwait-discover\nraw 01#02\n",
            "wait 250|discover|01");
        // A malformed line is named by its number, and nothing is sent (an unknown directive: above).
        const auto bad = [](const char* name, const QByteArray& line, const char* message) {
            QTest::newRow(name) << "# header\nraw 01\n\n" + line + "\nraw 02\n"
                                << "error 4: " + QByteArray(message);
        };
        bad("name too long", "event user=" + QByteArray(41, 'x'), "at most 40");
        bad("unknown key", "event colour=red", "'colour'");
        bad("code too big", "event code=256", "code");
        bad("odd hex", "raw 010", "two digits");
        bad("prefix too long", "raw-fill 1 00 0102", "do not fit");
        bad("unknown escape", "event user=a\\q", "\\q");
    }

    void replayLinesGiveTheirBytes()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QVector<ReplayStep> steps;
        ReplayError error;
        if (bytes.startsWith("error 4: ")) {
            QVERIFY(!parseReplay(text, steps, error));
            QCOMPARE(error.line, 4);
            QVERIFY2(error.message.contains(QString::fromLatin1(bytes.mid(9))), qPrintable(error.message));
            QVERIFY(steps.isEmpty());
            return;
        }
        QVERIFY2(parseReplay(text, steps, error), qPrintable(error.message));
        QByteArrayList got;
        for (const ReplayStep& step : steps)
            got << (step.kind == ReplayStep::Kind::Wait           ? "wait " + QByteArray::number(step.waitMs)
                    : step.kind == ReplayStep::Kind::WaitDiscover ? QByteArray("discover")
                                                                  : step.datagram.toHex());
        QCOMPARE(got.join('|'), bytes);
    }
};

QTEST_MAIN(FwsimTest)
#include "tst_fwsim.moc"
