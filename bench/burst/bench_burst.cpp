// SPDX-License-Identifier: GPL-3.0-or-later
// A burst of back-to-back event datagrams while the window is busy: during a History Refresh of a
// large log, and while a message box is open. Prints how many of the burst reached the log.
#include "events/EventRecord.h"
#include "historywindow/HistoryWindow.h"
#include "mainwindow/EventListModel.h"
#include "mainwindow/MainWindow.h"
#include "net/Endpoint.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

// A message box as the operator has it: a modal loop that runs until OK, here after `seconds`.
class TimedBoxes : public MessageBoxes
{
public:
    double seconds = 1.0;
    std::function<void()> onOpen;
    void show(QWidget*, const QString&, const QString&, Icon) override
    {
        if (onOpen)
            onOpen();
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }
};

quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Sends `count` datagrams back to back, user "b<seq>".
void sendBurst(quint16 port, int count)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EventRecord record;
    setField(record.Date, DATE_WIDTH, "12/06/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, "10:00:00");
    record.ServerIPAddress = ipAddressFromBytes(10, 0, 0, 1);
    for (int i = 0; i < count; ++i) {
        setField(record.Username, USERNAME_WIDTH, "b" + QByteArray::number(i));
        record.IPAddress = htonl(0x0A400000u + static_cast<quint32>(i));
        const QByteArray datagram = encodeEvent(record);
        ::sendto(fd, datagram.constData(), static_cast<size_t>(datagram.size()), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
}

qint64 countLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

void makeLog(const QString& path, qint64 bytes)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block;
    for (int i = 0; block.size() < (1 << 20); ++i)
        block += "10:00:00  01/" + QByteArray::number(10 + i % 18) + "/2019  10.0.0.1  someone  LoggedOn\r\n";
    for (qint64 written = 0; written < bytes; written += block.size())
        file.write(block);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 logBytes = argc > 1 ? std::atoll(argv[1]) : (qint64(1) << 30);
    const int burst = argc > 2 ? std::atoi(argv[2]) : 10000;

    QTemporaryDir dir;
    const QString bigLog = dir.filePath(QStringLiteral("history-log"));
    std::printf("writing a %lld MiB log to read back...\n", logBytes >> 20);
    std::fflush(stdout);
    makeLog(bigLog, logBytes);

    TimedBoxes boxes;
    EndpointSettings endpoints;
    endpoints.eventPort = freePort();
    endpoints.discoveryAddress = 0x7FFFFFFF; // loopback broadcast: nothing leaves the machine
    endpoints.discoveryPort = freePort();
    DialogOptions options;
    options.userFilePath = QFile::encodeName(dir.filePath(QStringLiteral("userfile")));
    // The same core as the program builds.
    MonitorOptions monitorOptions;
    monitorOptions.endpoints = endpoints;
    monitorOptions.logPath = options.userFilePath;
    Monitor monitor(monitorOptions);
    monitor.startOutputs();
    DiscoveryEndpoint discovery(endpoints);
    MainWindow dialog(options, monitor, discovery, boxes);
    dialog.startUp();
    dialog.show();
    QCoreApplication::processEvents();

    int expected = 0;
    auto report = [&](const char* what, double busySeconds) {
        expected += burst;
        QElapsedTimer wait;
        wait.start();
        while (countLines(dir.filePath(QStringLiteral("userfile"))) < expected && wait.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const qint64 logged = countLines(dir.filePath(QStringLiteral("userfile")));
        std::printf("%-34s busy %5.2f s  sent %6d  logged %6lld  listed %7d  lost %lld\n", what, busySeconds,
                    burst, logged - (expected - burst), dialog.eventModel().rowCount() - (expected - burst),
                    expected - logged);
        std::fflush(stdout);
    };

    {
        HistoryWindow history(&dialog, QFile::encodeName(bigLog), boxes);
        auto* refresh = history.findChild<QPushButton*>(QStringLiteral("Refresh"));
        std::thread sender(sendBurst, endpoints.eventPort, burst);
        QElapsedTimer busy;
        busy.start();
        refresh->click(); // reads the whole log on this thread
        const double seconds = busy.nsecsElapsed() / 1e9;
        sender.join();
        report("during a History Refresh", seconds);
    }
    {
        std::thread sender;
        boxes.onOpen = [&] { sender = std::thread(sendBurst, endpoints.eventPort, burst); };
        QElapsedTimer busy;
        busy.start();
        boxes.show(nullptr, QStringLiteral("busy"), QString(), MessageBoxes::Icon::None);
        const double seconds = busy.nsecsElapsed() / 1e9;
        sender.join();
        report("while a message box is open", seconds);
    }
    {
        // From here on the sender's server is selected (the first detection's timer has run), so
        // every log-on also joins the online-user list.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 3500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::thread sender(sendBurst, endpoints.eventPort, burst);
        QElapsedTimer busy;
        busy.start();
        ::usleep(500000); // the window frozen outright
        const double seconds = busy.nsecsElapsed() / 1e9;
        sender.join();
        report("while the window does not answer", seconds);
    }
    std::printf("status: %s\n", qPrintable(dialog.statusText()));
    return 0;
}
