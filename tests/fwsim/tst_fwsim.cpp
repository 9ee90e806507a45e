// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "fwsim/DemoDay.h"

#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

class FwsimTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void replayFileGivesExactlyItsDatagramsInOrderAndABadOneNone()
    {
        const QString good = m_dir.filePath("day.replay"), bad = m_dir.filePath("bad.replay");
        QVERIFY(writeFileBytes(good,
                               "# one of each\n"
                               "event code=0 user=alice group=Staff login=08:00 ip=10.1.0.5 server=10.0.0.1 "
                               "date=12/06/2026 time=08:00:01\n\nraw-fill 513 41\r\n"
                               "event code=7 header=7 user=x\\x23y\\\\z date=12/06/2026   # a note\n"
                               "raw 0107010000\n"));
        QVERIFY(writeFileBytes(bad, "# fine\nraw 01\nevnt code=0\n"));
        LoopbackPeer monitor;
        // A bad file, or none, ends the simulator with code 2 before it sends anything.
        for (const auto& [file, code, said] : {std::tuple{bad, 2, "bad.replay:3: unknown directive 'evnt'"},
                                               {m_dir.filePath("none"), 2, "cannot read"},
                                               {good, 0, ""}}) {
            QProcess sim;
            sim.start(FWSIM_PATH,
                      {"replay", file, QStringLiteral("--monitor=127.0.0.1:%1").arg(monitor.port()),
                       "--discovery-port=0"});
            QVERIFY(sim.waitForFinished(20000));
            QCOMPARE(sim.exitCode(), code);
            QVERIFY2(sim.readAllStandardError().contains(said), said);
        }
        QByteArray datagram;
        for (const QByteArray& want :
             {eventDatagram(0, "alice", "Staff", ip(10, 1, 0, 5), ip(10, 0, 0, 1), "12/06/2026", "08:00:01",
                            "08:00"),
              QByteArray(513, 'A'), eventDatagram(7, "x#y\\z", "", 0, 0, "12/06/2026", "", "", 7),
              QByteArray::fromHex("0107010000")}) {
            QVERIFY(monitor.receive(datagram, 5000));
            QCOMPARE(datagram.toHex(), want.toHex());
        }
        QVERIFY(!monitor.receive(datagram, 300));
    }

    void demoDayTellsEveryKindOfEventOfTheServersPlayed()
    {
        const QVector<quint32> servers = {ip(10, 0, 0, 1), ip(10, 0, 0, 2)};
        DemoDay day(servers, 3);
        QSet<quint32> codes, online;
        for (int i = 0; i < 3000; ++i) {
            const EventRecord r = day.next("12/06/2026", "08:00:00");
            codes.insert(r.EventCode);
            QVERIFY(servers.contains(r.ServerIPAddress));
            if (r.EventCode == LoggedOn) {
                QVERIFY(!online.contains(r.IPAddress));
                online.insert(r.IPAddress);
            } else if (r.EventCode == LoggedOff || r.EventCode == AccessTimeExpired)
                QVERIFY(online.remove(r.IPAddress));
            else if (r.EventCode == FirewallRebooted)
                online.removeIf([&](quint32 a) {
                    return reinterpret_cast<const quint8*>(&a)[2] ==
                           (r.ServerIPAddress == servers[0] ? 1 : 2);
                });
            const int delay = day.nextDelayMs();
            QVERIFY(delay >= 200 && delay <= 500);
        }
        QCOMPARE(codes.size(), int(EVENT_CODE_COUNT));
    }
};

QTEST_MAIN(FwsimTest)
#include "tst_fwsim.moc"
