#include "intake/EventIntake.h"
#include "intake/StatusLine.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The firewalls' end: sends datagrams to a loopback port, or holds a port for itself.
class Sender
{
public:
    Sender() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Sender() { ::close(m_fd); }
    quint16 bindAnyPort()
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    void send(quint16 port, const QByteArray& bytes) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(m_fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    int m_fd;
};

quint16 freePort()
{
    return Sender().bindAnyPort();
}

QByteArray eventFrom(const QByteArray& user, quint32 code = LoggedOn)
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH, user);
    return encodeEvent(record);
}

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
        o.endpoint.eventPort = freePort();
        o.logPath = QFile::encodeName(m_dir.filePath(QString::fromLatin1(logName)));
        return o;
    }

private slots:
    void eachBatchIsLoggedBeforeItsListenersHearOfIt()
    {
        const IntakeOptions o = options();
        EventIntake intake(o);
        QCOMPARE(intake.open(), 0);
        QStringList heard;
        connect(&intake, &EventIntake::eventsArrived, this, [&](const EventBatch& batch) {
            const QByteArray log = readFile(o.logPath);
            for (const EventRecord& record : batch.events)
                heard << QStringLiteral("%1 %2").arg(QLatin1String(record.Username),
                                                     log.contains(QByteArray(record.Username) + "  ")
                                                         ? QStringLiteral("logged")
                                                         : QStringLiteral("not logged"));
        });
        const Sender firewall;
        firewall.send(o.endpoint.eventPort, eventFrom("u1"));
        firewall.send(o.endpoint.eventPort, eventFrom("u2", AccountLockedUp));
        firewall.send(o.endpoint.eventPort, QByteArray(513, 'x')); // refused, and the next still read
        firewall.send(o.endpoint.eventPort, eventFrom("u3", 42));
        QTRY_COMPARE(heard, QStringList({"u1 logged", "u2 logged", "u3 logged"}));
        QCOMPARE(readFile(o.logPath).count("\r\n"), 3);
        QCOMPARE(intake.lostLogLines(), quint64(0));
        QCOMPARE(intake.droppedBySystem(), quint64(0));
    }

    void linesThatCannotBeWrittenAreCountedAndTheEventsStillHandedOn()
    {
        EventIntake intake(options("missing-folder/userfile"));
        QCOMPARE(intake.open(), 0);
        QSignalSpy batches(&intake, &EventIntake::eventsArrived);
        const Sender firewall;
        firewall.send(intake.port(), eventFrom("alice"));
        firewall.send(intake.port(), eventFrom("bob"));
        QTRY_COMPARE(intake.lostLogLines(), quint64(2));
        QVERIFY(!batches.isEmpty());
    }

    void aTakenPortIsTheOpenError()
    {
        Sender squatter;
        IntakeOptions o = options();
        o.endpoint.eventPort = squatter.bindAnyPort();
        EventIntake intake(o);
        QCOMPARE(intake.open(), EADDRINUSE);
        QVERIFY(!intake.isOpen());
        QCOMPARE(intake.openError(), EADDRINUSE);
    }

    void statusLineNamesWhatWentMissing_data()
    {
        QTest::addColumn<int>("openError");
        QTest::addColumn<QList<quint64>>("counts"); // lost, dropped, refused, not forwarded, not shown
        QTest::addColumn<QStringList>("conditions");
        QTest::addColumn<QString>("text");
        QTest::newRow("quiet") << 0 << QList<quint64>{0, 0, 0, 0, 0} << QStringList()
                               << "Listening for events on UDP port 1023";
        QTest::newRow("one of each")
            << 0 << QList<quint64>{1, 1, 1, 1, 1} << QStringList()
            << "Listening for events on UDP port 1023, 1 log line lost, 1 event dropped "
               "by the system, 1 datagram from unlisted senders refused, 1 event not "
               "forwarded, 1 oldest row no longer shown";
        QTest::newRow("some") << 0 << QList<quint64>{0, 2, 0, 0, 30} << QStringList()
                              << "Listening for events on UDP port 1023, 2 events dropped by the system, 30 "
                                 "oldest rows no longer shown";
        QTest::newRow("lasting") << 0 << QList<quint64>{3, 0, 0, 0, 0}
                                 << QStringList({"forwarding to udp://10.0.0.9:514 failed: refused",
                                                 "desktop notifications unavailable"})
                                 << "Listening for events on UDP port 1023, 3 log lines lost; forwarding to "
                                    "udp://10.0.0.9:514 failed: refused; desktop notifications unavailable";
        QTest::newRow("not receiving") << EACCES << QList<quint64>{0, 0, 0, 0, 0} << QStringList()
                                       << "Not receiving events: UDP port 1023: Permission denied";
    }

    void statusLineNamesWhatWentMissing()
    {
        QFETCH(int, openError);
        QFETCH(QList<quint64>, counts);
        QFETCH(QStringList, conditions);
        QFETCH(QString, text);
        const StatusCounts c{counts[0], counts[1], counts[2], counts[3], counts[4]};
        QCOMPARE(statusLineText(1023, openError, c, conditions), text);
    }
};

QTEST_MAIN(IntakeTest)
#include "tst_intake.moc"
