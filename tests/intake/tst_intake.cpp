// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "intake/EventIntake.h"
#include "intake/StatusLine.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace
{

QByteArray readFile(const QByteArray& path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

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
            const QByteArray log = readFile(o.logPath);
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
        QCOMPARE(readFile(o.logPath).count("\r\n"), 3);
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

    void statusLineNamesWhatWentMissing_data()
    {
        QTest::addColumn<int>("openError");
        QTest::addColumn<QList<quint64>>("counts"); // lost, dropped, refused, not forwarded, not shown
        QTest::addColumn<QStringList>("conditions");
        QTest::addColumn<QString>("text");
        QTest::newRow("one of each")
            << 0 << QList<quint64>{1, 1, 1, 1, 1} << QStringList()
            << "Listening for events on UDP port 1023, 1 log line lost, 1 event dropped by the system, 1 "
               "datagram "
               "from unlisted senders refused, 1 event not forwarded, 1 oldest row no longer shown";
        QTest::newRow("some, lasting") << 0 << QList<quint64>{3, 2, 0, 0, 30}
                                       << QStringList({"forwarding to udp://10.0.0.9:514 failed: refused",
                                                       "desktop notifications unavailable"})
                                       << "Listening for events on UDP port 1023, 3 log lines lost, 2 events "
                                          "dropped by the system, 30 oldest "
                                          "rows no longer shown; forwarding to udp://10.0.0.9:514 failed: "
                                          "refused; desktop notifications "
                                          "unavailable";
        QTest::newRow("not receiving") << EACCES << QList<quint64>{0, 0, 0, 0, 0} << QStringList()
                                       << "Not receiving events: UDP port 1023: Permission denied";
    }

    void statusLineNamesWhatWentMissing()
    {
        QFETCH(int, openError);
        QFETCH(QList<quint64>, counts);
        QFETCH(QStringList, conditions);
        QFETCH(QString, text);
        QCOMPARE(statusLineText(1023, openError, {counts[0], counts[1], counts[2], counts[3], counts[4]},
                                conditions),
                 text);
    }
};

QTEST_MAIN(IntakeTest)
#include "tst_intake.moc"
