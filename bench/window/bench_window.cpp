// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds N events through the main window's processing, offscreen: datagrams on a loopback port,
// read, logged, listed and tabled in batches as the event loop delivers them. Prints events per
// second and the memory each EventList row costs. With "filter", times the filter bar at 10^6
// rows instead (see measureFilter).
#include "events/EventRecord.h"
#include "mainwindow/EventListModel.h"
#include "mainwindow/MainWindow.h"
#include "mainwindow/RowFilterModel.h"
#include "net/Endpoint.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// Event i of the benchmarks' stream: 100,000 users on four servers, the name padded to `digits`.
EventRecord streamEvent(int i, quint32 code, int digits)
{
    EventRecord record;
    record.EventCode = code;
    setField(record.Username, USERNAME_WIDTH,
             "user" + QByteArray::number(i % 100000).rightJustified(digits, '0'));
    setField(record.Groupname, GROUPNAME_WIDTH, "Group" + QByteArray::number(i % 7));
    setField(record.LoginTime, LOGINTIME_WIDTH, "08:00:00");
    record.IPAddress = htonl(0x0A000000u + static_cast<quint32>(i % 100000));
    record.ServerIPAddress = ipAddressFromBytes(192, 168, 1, static_cast<quint8>(1 + i % 4));
    setField(record.Date, DATE_WIDTH, "12/06/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, "10:" + QByteArray::number(10 + i % 50) + ":00");
    return record;
}

QByteArray datagram(int i)
{
    return encodeEvent(streamEvent(i, (i % 5 == 4) ? LoggedOff : LoggedOn, 4));
}

} // namespace

// Sends `datagrams` in batches and waits until the window has listed them all.
void feed(MainWindow& dialog, const sockaddr_in& monitor, const std::function<QByteArray(int)>& datagramAt,
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
void measureUsers(MainWindow& dialog, const sockaddr_in& monitor, int users)
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

// A batch of `count` events straight to the window's listener, as the pipeline hands them over
// after logging: no socket and no log, so that what is timed is the window's own work.
EventBatch syntheticBatch(int first, int count)
{
    EventBatch batch;
    batch.events.reserve(static_cast<std::size_t>(count));
    for (int i = first; i < first + count; ++i)
        batch.events.push_back(streamEvent(i,
                                           i % 7 == 6   ? TryingInvalidPasswords
                                           : i % 5 == 4 ? LoggedOff
                                                        : LoggedOn,
                                           5));
    return batch;
}

// Microseconds of this thread's processor time per event, for `count` events handed over in
// batches of 1000, each batch drawn. Processor time, not wall time: other work on the machine does
// not count against the window.
double timeBatches(MainWindow& dialog, int& next, int count)
{
    timespec start{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (int done = 0; done < count; done += 1000) {
        dialog.showEvents(syntheticBatch(next, 1000));
        next += 1000;
        QCoreApplication::processEvents();
    }
    timespec end{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return (double(end.tv_sec - start.tv_sec) * 1e6 + double(end.tv_nsec - start.tv_nsec) / 1e3) / count;
}

// The filter bar at `rows` events: how long a change of the filter takes until the list is drawn,
// what a new event costs with and without a filter, and the bytes of the filter's index.
void measureFilter(MainWindow& dialog, int rows)
{
    auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("EventFilter"));
    auto* kinds = dialog.findChild<QComboBox*>(QStringLiteral("EventKindFilter"));
    int next = 0;
    while (next < rows) {
        dialog.showEvents(syntheticBatch(next, 10000));
        next += 10000;
        QCoreApplication::processEvents();
    }
    std::printf("%d events in the list\n\n%-34s %10s %10s\n", dialog.eventModel().rowCount(), "filter change",
                "ms", "rows");
    const auto change = [&](const char* what, const std::function<void()>& apply) {
        QElapsedTimer timer;
        timer.start();
        apply();
        dialog.repaint();
        QCoreApplication::processEvents();
        std::printf("%-34s %10.1f %10d\n", what, double(timer.nsecsElapsed()) / 1e6,
                    dialog.eventView().rowCount());
        std::fflush(stdout);
    };
    change("type \"u\" (every row)", [&] { field->setText(QStringLiteral("u")); });
    change("type \"user4\" (one in ten)", [&] { field->setText(QStringLiteral("user4")); });
    change("type \"user42424\" (ten rows)", [&] { field->setText(QStringLiteral("user42424")); });
    change("type \"zzz\" (no row)", [&] { field->setText(QStringLiteral("zzz")); });
    change("type \"192.168.1.3\" (a server)", [&] { field->setText(QStringLiteral("192.168.1.3")); });
    change("type \"invalid\" (event text)", [&] { field->setText(QStringLiteral("invalid")); });
    change("kind \"Failed attempts\" too", [&] { kinds->setCurrentIndex(2); });
    change("clear the text", [&] { field->clear(); });
    change("kind \"All events\" (no filter)", [&] { kinds->setCurrentIndex(0); });

    field->setText(QStringLiteral("u"));
    const double indexBytes = double(dialog.eventView().indexBytes()) / dialog.eventModel().rowCount();
    field->clear();

    // Short alternating runs, best of each, so that the machine's other work falls on all alike.
    const int perRun = 10000;
    double plain = 1e9, some = 1e9, none = 1e9, all = 1e9;
    for (int round = 0; round < 10; ++round) {
        field->clear();
        plain = std::min(plain, timeBatches(dialog, next, perRun));
        field->setText(QStringLiteral("user4"));
        some = std::min(some, timeBatches(dialog, next, perRun));
        field->setText(QStringLiteral("zzz"));
        none = std::min(none, timeBatches(dialog, next, perRun));
        field->setText(QStringLiteral("u"));
        all = std::min(all, timeBatches(dialog, next, perRun));
    }
    field->clear();
    std::printf("\n%-34s %10s %10s\n", "a new event, batches of 1000", "cpu us", "extra us");
    std::printf("%-34s %10.2f %10s\n", "no filter", plain, "");
    std::printf("%-34s %10.2f %10.2f\n", "filter \"user4\" (one in ten shown)", some, some - plain);
    std::printf("%-34s %10.2f %10.2f\n", "filter \"zzz\" (none shown)", none, none - plain);
    std::printf("%-34s %10.2f %10.2f\n", "filter \"u\" (every one shown)", all, all - plain);
    std::printf("\nfilter index: %.2f bytes a row with every row matching (%d rows)\n", indexBytes,
                dialog.eventModel().rowCount());
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<int> counts = {10000, 100000, 1000000};
    const bool users = argc > 1 && std::strcmp(argv[1], "users") == 0;
    const bool filter = argc > 1 && std::strcmp(argv[1], "filter") == 0;
    if (users || filter)
        counts = {argc > 2 ? std::atoi(argv[2]) : users ? 100000 : 1000000};
    else if (argc > 1)
        counts = {std::atoi(argv[1])};

    if (!users && !filter)
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
        // The same core as the program builds.
        MonitorOptions monitorOptions;
        monitorOptions.endpoints = endpoints;
        monitorOptions.logPath = options.userFilePath;
        Monitor core(monitorOptions);
        core.startOutputs();
        DiscoveryEndpoint discovery(endpoints);
        MainWindow dialog(options, core, discovery, boxes);
        dialog.startUp();
        dialog.show();
        QCoreApplication::processEvents();
        if (users) {
            measureUsers(dialog, monitor, count);
            continue;
        }
        if (filter) {
            measureFilter(dialog, count);
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
