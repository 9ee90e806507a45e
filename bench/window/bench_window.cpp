// Feeds N events through the main window's processing, offscreen: datagrams on a loopback port,
// read, logged, listed and tabled in batches as the event loop delivers them. Prints events per
// second and the memory each EventList row costs.
#include "events/EventRecord.h"
#include "maindlg/EventListModel.h"
#include "maindlg/SorvaneDlg.h"
#include "net/Endpoint.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

class SilentBoxes : public MessageBoxes
{
public:
    void show(QWidget*, const QString& text, const QString&, Icon) override
    {
        std::fprintf(stderr, "message box: %s\n", qPrintable(text));
    }
};

long residentKiB()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
            break;
    }
    if (status)
        std::fclose(status);
    return kib;
}

// A log-on of user number `i`, each from an address of its own.
QByteArray logOn(int i, quint32 server)
{
    EventRecord record;
    record.EventCode = LoggedOn;
    setField(record.Username, USERNAME_WIDTH, "user" + QByteArray::number(i));
    setField(record.Groupname, GROUPNAME_WIDTH, "Group" + QByteArray::number(i % 7));
    setField(record.LoginTime, LOGINTIME_WIDTH, "08:00:00");
    record.IPAddress = htonl(0x0A000000u + static_cast<quint32>(i));
    record.ServerIPAddress = server;
    setField(record.Date, DATE_WIDTH, "12/06/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, "10:00:00");
    return encodeEvent(record);
}

QByteArray datagram(int i)
{
    EventRecord record;
    record.EventCode = (i % 5 == 4) ? LoggedOff : LoggedOn;
    setField(record.Username, USERNAME_WIDTH, "user" + QByteArray::number(i % 100000).rightJustified(4, '0'));
    setField(record.Groupname, GROUPNAME_WIDTH, "Group" + QByteArray::number(i % 7));
    setField(record.LoginTime, LOGINTIME_WIDTH, "08:00:00");
    record.IPAddress = htonl(0x0A000000u + static_cast<quint32>(i % 100000));
    record.ServerIPAddress = ipAddressFromBytes(192, 168, 1, static_cast<quint8>(1 + i % 4));
    setField(record.Date, DATE_WIDTH, "12/06/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, "10:" + QByteArray::number(10 + i % 50) + ":00");
    return encodeEvent(record);
}

} // namespace

// Sends `datagrams` in batches and waits until the window has listed them all.
void feed(CSorvaneDlg& dialog, const sockaddr_in& monitor, const std::function<QByteArray(int)>& datagramAt,
          int count)
{
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int start = dialog.eventModel().rowCount();
    for (int sent = 0; sent < count;) {
        for (int i = 0; i < 256 && sent < count; ++i, ++sent) {
            const QByteArray d = datagramAt(sent);
            ::sendto(sender, d.constData(), static_cast<size_t>(d.size()), 0,
                     reinterpret_cast<const sockaddr*>(&monitor), sizeof monitor);
        }
        while (dialog.eventModel().rowCount() < start + sent)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    ::close(sender);
}

// Memory per online user: log-ons of distinct users, first from a server nobody selected (the
// table only), then from the selected one (the table and the online-user list).
void measureUsers(CSorvaneDlg& dialog, const sockaddr_in& monitor, int users)
{
    const quint32 other = ipAddressFromBytes(192, 168, 9, 9);
    const quint32 selected = ipAddressFromBytes(192, 168, 9, 1);
    feed(
        dialog, monitor, [&](int i) { return logOn(i, selected); }, 1);
    dialog.findChild<QListWidget*>(QStringLiteral("ServerList"))->setCurrentRow(0); // as the operator does
    const double rowBytes = 45; // an event-list row, measured above
    long before = residentKiB();
    feed(
        dialog, monitor, [&](int i) { return logOn(1 + i, other); }, users);
    const double tableOnly = ((residentKiB() - before) * 1024.0 - rowBytes * users) / users;
    before = residentKiB();
    feed(
        dialog, monitor, [&](int i) { return logOn(1 + users + i, selected); }, users);
    const double shown = ((residentKiB() - before) * 1024.0 - rowBytes * users) / users;
    std::printf(
        "%d online users: %.0f bytes a user in the table, %.0f with its online-list row (%zu entries)\n",
        users, tableOnly, shown, dialog.onlineUsers().size());
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<int> counts = {10000, 100000, 1000000};
    const bool users = argc > 1 && std::strcmp(argv[1], "users") == 0;
    if (users)
        counts = {argc > 2 ? std::atoi(argv[2]) : 100000};
    else if (argc > 1)
        counts = {std::atoi(argv[1])};

    std::printf("%10s %12s %14s %14s\n", "events", "events/s", "bytes/row RSS", "bytes/row model");
    for (const int count : counts) {
        QTemporaryDir dir;
        SilentBoxes boxes;
        sockaddr_in monitor{};
        monitor.sin_family = AF_INET;
        monitor.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        {
            // A free port for this run's events; discovery stays on loopback.
            const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
            ::bind(probe, reinterpret_cast<sockaddr*>(&monitor), sizeof monitor);
            socklen_t length = sizeof monitor;
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&monitor), &length);
            ::close(probe);
        }
        EndpointSettings endpoints;
        endpoints.eventPort = ntohs(monitor.sin_port);
        endpoints.discoveryAddress = 0x7FFFFFFF;
        endpoints.discoveryPort = 9; // discard: nothing answers
        DialogOptions options;
        options.userFilePath = QFile::encodeName(dir.filePath(QStringLiteral("userfile")));
        IntakeOptions intakeOptions;
        intakeOptions.endpoint = endpoints;
        intakeOptions.logPath = options.userFilePath;
        EventIntake intake(intakeOptions);
        DiscoveryEndpoint discovery(endpoints);
        CSorvaneDlg dialog(options, intake, discovery, boxes);
        dialog.OnInitDialog();
        dialog.show();
        QCoreApplication::processEvents();
        if (users) {
            measureUsers(dialog, monitor, count);
            continue;
        }

        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        std::vector<QByteArray> datagrams;
        datagrams.reserve(1024);
        for (int i = 0; i < 1024; ++i)
            datagrams.push_back(datagram(i));
        const long before = residentKiB();
        QElapsedTimer timer;
        timer.start();
        for (int sent = 0; sent < count;) {
            const int batch = std::min(256, count - sent);
            for (int i = 0; i < batch; ++i, ++sent) {
                QByteArray& d = datagrams[static_cast<std::size_t>(sent % 1024)];
                const int n = sent;
                std::memcpy(d.data() + 4, "user", 4); // keep the name; vary the time
                d[132 + 3] = static_cast<char>('0' + n % 10);
                ::sendto(sender, d.constData(), static_cast<size_t>(d.size()), 0,
                         reinterpret_cast<sockaddr*>(&monitor), sizeof monitor);
            }
            while (dialog.eventModel().rowCount() < sent)
                QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        const long after = residentKiB();
        std::printf("%10d %12.0f %14.1f %14.1f\n", count, count / seconds, (after - before) * 1024.0 / count,
                    double(dialog.eventModel().bytesUsed()) / count);
        std::fflush(stdout);
        ::close(sender);
    }
    return 0;
}
