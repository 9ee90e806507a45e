#include "Collector.h"

#include "app/Headless.h"

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The firewalls' end: numbered log-on events to a loopback port, or a port held for itself.
class Firewall
{
public:
    explicit Firewall(quint16 hold = 0) : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        if (hold != 0) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(hold);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
    }
    ~Firewall() { ::close(m_fd); }
    void send(quint16 port, int first, int count) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = first; i < first + count; ++i) {
            EventRecord record;
            setField(record.Username, USERNAME_WIDTH, "u" + QByteArray::number(i));
            record.ServerIPAddress = ipAddressFromBytes(10, 0, 0, 1);
            const QByteArray bytes = encodeEvent(record);
            ::sendto(m_fd, bytes.constData(), std::size_t(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
        }
    }

private:
    int m_fd;
};

int lines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
}

// The monitor's binary with no display at all: a window would need one and fail.
std::unique_ptr<QProcess> startMonitor(const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("XDG_CONFIG_HOME", "/nonexistent"); // no settings file of the user
    process->setProcessEnvironment(environment);
    process->start(SORVANE_BINARY, QStringList{"--headless"} + arguments);
    return process;
}

} // namespace

class HeadlessTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void terminationLogsAndForwardsWhatArrived()
    {
        Collector collector(m_dir.filePath("collector"));
        QVERIFY2(collector.start(), qPrintable(collector.error()));
        const quint16 port = freeLoopbackPort(false);
        const QString log = m_dir.filePath("userfile");
        auto monitor =
            startMonitor({"--event-port", QString::number(port), "--log-file", log, "--forward",
                          QStringLiteral("tcp://127.0.0.1:%1").arg(collector.tcpPort()), "--forward",
                          QStringLiteral("udp://127.0.0.1:%1").arg(collector.udpPort())});
        const QByteArray listening =
            "sorvane: Listening for events on UDP port " + QByteArray::number(port) + "\n";
        QByteArray printed;
        QTRY_COMPARE_WITH_TIMEOUT(printed += monitor->readAllStandardError(), listening, 20000);

        // Terminated at once: what arrived is still written and forwarded before the end.
        Firewall().send(port, 0, 200);
        ::kill(pid_t(monitor->processId()), SIGTERM);
        QVERIFY(monitor->waitForFinished(10000));
        QCOMPARE(monitor->exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor->exitCode(), 0);
        QCOMPARE(monitor->readAllStandardError(), QByteArray());
        QCOMPARE(lines(log), 200);

        QTRY_COMPARE_WITH_TIMEOUT(collector.count(), 400, 10000);
        for (const char* input : {"imtcp", "imudp"}) {
            QList<int> numbers;
            for (const QJsonObject& message : collector.messages()) {
                if (message.value("inputname").toString() == QLatin1String(input))
                    numbers << message.value("msg").toString().section(' ', 2, 2).mid(1).toInt();
            }
            QList<int> expected(200);
            std::iota(expected.begin(), expected.end(), 0);
            QCOMPARE(numbers, expected);
        }
    }

    void unboundEventPortExitsWithOne()
    {
        const quint16 port = freeLoopbackPort(false);
        const Firewall holder(port);
        auto monitor =
            startMonitor({"--event-port", QString::number(port), "--log-file", m_dir.filePath("held")});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 1);
        QCOMPARE(monitor->readAllStandardError(), "sorvane: Not receiving events: UDP port " +
                                                      QByteArray::number(port) +
                                                      ": Address already in use\n");
    }

    void badForwardUrlStopsTheStart()
    {
        auto monitor = startMonitor({"--forward", "tcp://collector"});
        QVERIFY(monitor->waitForFinished(20000));
        QCOMPARE(monitor->exitCode(), 2);
        QVERIFY(monitor->readAllStandardError().contains("\"tcp://collector\""));
    }

    void statusLinesWhileSomethingIsMissing()
    {
        AppSettings settings;
        settings.endpoints.eventPort = freeLoopbackPort(false);
        settings.dialog.userFilePath = QFile::encodeName(m_dir.filePath("status-log"));
        const QString refused = QStringLiteral("tcp://127.0.0.1:%1").arg(freeLoopbackPort(true));
        settings.forward.targets.push_back(*parseForwardUrl(refused));
        settings.forward.queueCapacity = 10;
        QStringList printed;
        HeadlessMonitor monitor(settings, [&](const QString& line) { printed << line; });
        monitor.setStatusPeriod(100);
        const QString listening =
            QStringLiteral("Listening for events on UDP port %1").arg(settings.endpoints.eventPort);
        QVERIFY(monitor.start());
        QCOMPARE(printed, QStringList{listening});

        // The condition is shown as soon as it holds...
        const QString condition = "forwarding to " + refused + " failed: Connection refused";
        QTRY_VERIFY_WITH_TIMEOUT(printed.contains(listening + "; " + condition), 10000);
        // ...and the counts every period while they are not zero.
        Firewall().send(settings.endpoints.eventPort, 0, 50);
        const QString missing = listening + ", 40 events not forwarded; " + condition;
        QTRY_VERIFY_WITH_TIMEOUT(printed.count(missing) >= 2, 10000);

        monitor.stop();
        QCOMPARE(printed.last(), listening + ", 50 events not forwarded; " + condition);
        QCOMPARE(lines(m_dir.filePath("status-log")), 50);
    }
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
