#include "Harness.h"

#include "maindlg/EventListModel.h"

#include <QDir>
#include <QLabel>
#include <QTest>

#include <sched.h>

// The monitor under faults of its surroundings: no crash, no hang, nothing lost without a word.
class FaultTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MonitorFixture> m_fixture;
    int m_sent = 0;

    void start(const QByteArray& logPath)
    {
        m_fixture = std::make_unique<MonitorFixture>();
        m_fixture->options.userFilePath = logPath;
        m_fixture->rebuild();
        m_fixture->dialog->OnInitDialog();
        m_sent = 0;
    }

    bool sendAndWait(const QByteArray& user)
    {
        m_fixture->send(eventDatagram(LoggedOn, user, "Staff", ip(10, 1, 0, 5), ip(10, 0, 0, 1)));
        ++m_sent;
        return QTest::qWaitFor([this] { return m_fixture->dialog->eventModel().rowCount() == m_sent; });
    }

    QString status() const { return m_fixture->dialog->statusText(); }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void cleanup() { m_fixture.reset(); }

    void logFolderRemovedThenMadeAgain()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("logs");
        QVERIFY(QDir().mkpath(folder));
        start(QFile::encodeName(folder + "/userfile"));
        QVERIFY(sendAndWait("one"));
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(sendAndWait("two"));
        QVERIFY(status().endsWith(", 1 log line lost"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(sendAndWait("three"));
        QCOMPARE(readFile(folder + "/userfile"),
                 QByteArray("10:00:00  12/06/2026  10.0.0.1  three  LoggedOn\r\n"));
        QVERIFY(status().endsWith(", 1 log line lost"));
        QCOMPARE(m_fixture->dialog->eventModel().rowCount(), 3);
        QVERIFY(m_fixture->boxes.messages.isEmpty());
    }

    void fullDiskLosesTheLinesAndCountsThem()
    {
        start("/dev/full");
        QVERIFY(sendAndWait("one"));
        QVERIFY(sendAndWait("two"));
        QVERIFY(status().endsWith(", 2 log lines lost"));
        QVERIFY(m_fixture->boxes.messages.isEmpty());
    }

    void rotatedLogStartsAgainUnderItsName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("userfile");
        start(QFile::encodeName(path));
        QVERIFY(sendAndWait("before"));
        QVERIFY(QFile::rename(path, path + ".1"));
        QVERIFY(sendAndWait("after"));
        QCOMPARE(readFile(path + ".1"), QByteArray("10:00:00  12/06/2026  10.0.0.1  before  LoggedOn\r\n"));
        QCOMPARE(readFile(path), QByteArray("10:00:00  12/06/2026  10.0.0.1  after  LoggedOn\r\n"));
    }

    // Last: it moves this process into a network namespace of its own, with no route anywhere.
    void unreachableDiscoveryTargetFailsToStartAndNothingHangs()
    {
        if (::unshare(CLONE_NEWNET) != 0)
            QSKIP("cannot create a network namespace here (needs root)");
        QTemporaryDir dir;
        m_fixture = std::make_unique<MonitorFixture>();
        m_fixture->endpoints.discoveryAddress = 0x0AFFFF01; // 10.255.255.1: no route in this namespace
        m_fixture->rebuild();
        m_fixture->dialog->OnInitDialog();
        QCOMPARE(m_fixture->boxes.messages,
                 QStringList({"StartAutoDetection failed", "Unable to proceed with autodetection...."}));
        QVERIFY(!m_fixture->discovery->socket().isOpen());
        QVERIFY(status().startsWith("Listening for events on UDP port"));
    }
};

int runFaultTest(int argc, char** argv)
{
    FaultTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
