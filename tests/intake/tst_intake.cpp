// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "intake/EventIntake.h"
#include "intake/StatusLine.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class IntakeTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    IntakeOptions options(const QByteArray& logName = "userfile")
    {
        IntakeOptions o;
        o.endpoint.eventPort = freeUdpPort();
        o.logPath = QFile::encodeName(m_dir.filePath(QString::fromLatin1(logName)));
        return o;
    }

private slots:
    void eachBatchIsLoggedBeforeItsListenersHearOfIt()
    {
        IntakeOptions o = options();
        QVERIFY(o.endpoint.allowed.parse(QStringLiteral("10.0.0.0/8, 127.0.0.1")));
        EventIntake intake(o);
        QCOMPARE(intake.open(), 0);
        QStringList heard;
        connect(&intake, &EventIntake::eventsArrived, this, [&](const EventBatch& batch) {
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
        QTRY_COMPARE(heard, QStringList({"u1 logged", "u2 logged", "u3 logged"}));
        QCOMPARE(fileBytes(QFile::decodeName(o.logPath)).count("\r\n"), 3);
        QCOMPARE(intake.refusedSenders(), quint64(2));
        QCOMPARE(intake.lostLogLines(), quint64(0));
        QCOMPARE(intake.droppedBySystem(), quint64(0));
    }

    void linesThatCannotBeWrittenAreCountedAndTheEventsStillHandedOn()
    {
        EventIntake intake(options("missing-folder/userfile"));
        QCOMPARE(intake.open(), 0);
        QSignalSpy batches(&intake, &EventIntake::eventsArrived);
        const LoopbackPeer firewall;
        firewall.sendTo(intake.port(), eventDatagram(0, "alice"));
        firewall.sendTo(intake.port(), eventDatagram(0, "bob"));
        QTRY_COMPARE(intake.lostLogLines(), quint64(2));
        QVERIFY(!batches.isEmpty());
    }

    // Singulars, plurals and lasting conditions; test_headless shows the "Not receiving" form.
    void statusLineNamesWhatWentMissing()
    {
        const QString listening = "Listening for events on UDP port 1023, ";
        QCOMPARE(statusLineText(1023, 0, {1, 1, 1, 1, 1}),
                 listening + "1 log line lost, 1 event dropped by the system, 1 datagram from unlisted "
                             "senders refused, 1 event not forwarded, 1 oldest row no longer shown");
        const QStringList conditions = {"forwarding to udp://10.0.0.9:514 failed: refused",
                                        "desktop notifications unavailable"};
        QCOMPARE(statusLineText(1023, 0, {3, 2, 0, 0, 30}, conditions),
                 listening + "3 log lines lost, 2 events dropped by the system, 30 oldest rows no longer "
                             "shown; " + conditions.join("; "));
    }
};

QTEST_MAIN(IntakeTest)
#include "tst_intake.moc"
