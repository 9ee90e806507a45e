// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "intake/EventIntake.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The intake's clauses and conditions on the status line.
QString statusOf(const EventIntake& intake)
{
    StatusReport report;
    intake.addStatus(report);
    return report.text(QString());
}

class IntakeTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    IntakeOptions options(const QString& logPath)
    {
        IntakeOptions o;
        o.endpoint.eventPort = freeUdpPort();
        o.logPath = QFile::encodeName(logPath);
        return o;
    }

private slots:
    void eachBatchIsLoggedBeforeItsListenersHearOfIt()
    {
        IntakeOptions o = options(m_dir.filePath("userfile"));
        QVERIFY(o.endpoint.allowed.parse(QStringLiteral("10.0.0.0/8, 127.0.0.1")));
        o.batchLimit = 3; // refused datagrams count towards it
        EventIntake intake(o);
        QCOMPARE(intake.open(), 0);
        QStringList heard;
        QList<int> sizes;
        connect(&intake, &EventIntake::eventsArrived, this, [&](const EventBatch& batch) {
            sizes << int(batch.events.size());
            const QByteArray log = fileBytes(QFile::decodeName(o.logPath));
            for (const EventRecord& record : batch.events)
                heard << QString::fromLatin1(record.Username) +
                             (log.contains(QByteArray(record.Username) + "  ") ? " logged" : " not logged");
        });
        const LoopbackPeer firewall;
        const LoopbackPeer stranger(0, 0x7F000002); // not listed: neither logged nor heard, but counted
        stranger.sendTo(o.endpoint.eventPort, eventDatagram(0, "forged"));
        firewall.sendTo(o.endpoint.eventPort, eventDatagram(0, "u1"));
        firewall.sendTo(o.endpoint.eventPort, eventDatagram(AccountLockedUp, "u2"));
        firewall.sendTo(o.endpoint.eventPort, QByteArray(513, 'x')); // refused, and the next still read
        stranger.sendTo(o.endpoint.eventPort, QByteArray(600, 'x'));
        firewall.sendTo(o.endpoint.eventPort, eventDatagram(42, "u3"));
        // Too short to hold the event code (a port scan's empty datagram): refused and counted.
        for (int size = 0; size < 4; ++size)
            firewall.sendTo(o.endpoint.eventPort, QByteArray(size, '\2'));
        firewall.sendTo(o.endpoint.eventPort, QByteArray(4, '\2')); // the rest reads as zero bytes
        // No event loop ran: the drain at the end of a run takes them all, a batch at a time.
        intake.drain();
        QCOMPARE(heard, QStringList({"u1 logged", "u2 logged", "u3 logged", " logged"}));
        QCOMPARE(sizes, QList<int>({2, 1, 0, 1, 0}));
        QVERIFY(fileBytes(QFile::decodeName(o.logPath)).endsWith("\r\n    0.0.0.0    AccountLockedUp\r\n"));
        QCOMPARE(fileBytes(QFile::decodeName(o.logPath)).count("\r\n"), 4);
        QCOMPARE(statusOf(intake), ", 2 datagrams from unlisted senders refused, 4 datagrams too short");
    }

    void unwritableLogIsToldAtStartAndWhileWritesFail()
    {
        const QTemporaryDir scratch;
        QDir dir(scratch.path());
        EventIntake intake(options(dir.filePath("missing/userfile")));
        QCOMPARE(intake.open(), 0);
        const QString condition = "; log lines lost: cannot write " + dir.filePath("missing/userfile") +
                                  ": No such file or directory";
        QCOMPARE(statusOf(intake), condition); // at start, having made nothing
        QVERIFY(dir.isEmpty());

        QSignalSpy batches(&intake, &EventIntake::eventsArrived);
        const LoopbackPeer firewall;
        firewall.sendTo(intake.port(), eventDatagram(0, "alice"));
        firewall.sendTo(intake.port(), eventDatagram(0, "bob"));
        QTRY_COMPARE(statusOf(intake), ", 2 log lines lost" + condition);
        QVERIFY(!batches.isEmpty());
        // Once a write succeeds the condition goes; the count stays.
        QVERIFY(dir.mkdir("missing"));
        firewall.sendTo(intake.port(), eventDatagram(0, "carol"));
        QTRY_COMPARE(statusOf(intake), ", 2 log lines lost");
    }

    // Each part's clauses keep their place; a clause two parts count is summed in the first one's.
    void statusReportKeepsEachClauseInItsPlace()
    {
        StatusReport report;
        report.addCount(0, {"log line lost", "log lines lost"});
        report.addCount(2, REFUSED_SENDERS);
        report.addCondition("forwarding to udp://10.0.0.9:514 failed: refused");
        report.addCount(1, {"event not forwarded", "events not forwarded"});
        QVERIFY(report.anyMissing());
        report.addCount(1, REFUSED_SENDERS);
        report.addCount(3, {"log line lost", "log lines lost"});
        QCOMPARE(report.text("Listening"), "Listening, 3 log lines lost, 3 datagrams from unlisted senders "
                                           "refused, 1 event not forwarded; forwarding to udp://10.0.0.9:514 "
                                           "failed: refused");
        QVERIFY(!StatusReport().anyMissing());
    }
};

QTEST_MAIN(IntakeTest)
#include "tst_intake.moc"
