// SPDX-License-Identifier: GPL-3.0-or-later
// Stores a year of a large site at a steady rate, then times the questions operators ask of it
// beside grep on the same events' log. Run by hand; timings are figures, not assertions.
#include "events/EventRecord.h"
#include "events/OnlineUsers.h"
#include "log/UserLog.h"
#include "store/EventStore.h"
#include "store/StoreReader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include <unistd.h>

namespace
{

constexpr qint64 DAY_US = qint64(86400) * 1000000;
constexpr int USERS = 5000;
constexpr int SERVERS = 40;
constexpr int BATCH = 100;

struct Probe {
    quint32 address;
    qint64 at;
    QByteArray user;
};

QByteArray userName(int n)
{
    return QByteArray("user") + QByteArray::number(n).rightJustified(5, '0');
}

// One generated event: users log on at a server from an address that later goes to others, do a
// few things, and log off; some are locked out or time out.
class Site
{
public:
    EventRecord next(std::vector<Probe>& probes, qint64 at)
    {
        const int user = int(m_random() % USERS);
        EventRecord record;
        const bool online = m_address[user] != 0;
        const quint32 roll = m_random() % 100;
        record.EventCode = !online ? (roll < 90 ? LoggedOn : TryingInvalidPasswords)
                                   : (roll < 60   ? AccessingFilteredSites
                                      : roll < 95 ? LoggedOff
                                      : roll < 98 ? AccessTimeExpired
                                                  : AccountMarkedForLockUp);
        if (record.EventCode == LoggedOn) {
            m_address[user] = quint32(10) << 24 | (m_random() % 20000 + 1); // a pool that is reused
            m_server[user] = quint32(192) << 24 | 168 << 16 | quint32(m_random() % SERVERS + 1);
            if (probes.size() < 1000 && m_random() % 5000 == 0)
                probes.push_back({m_address[user], at + 1000000, userName(user)});
        }
        setField(record.Username, USERNAME_WIDTH, userName(user));
        setField(record.Groupname, GROUPNAME_WIDTH, "Staff");
        setField(record.LoginTime, LOGINTIME_WIDTH, "08:00");
        // The local date is worked out once an hour: the feeder must cost little beside the writer.
        const qint64 second = at / 1000000;
        if (second / 3600 != m_hour) {
            m_hour = second / 3600;
            const QDateTime local = QDateTime::fromSecsSinceEpoch(m_hour * 3600);
            m_date = local.toString(QStringLiteral("MM/dd/yyyy")).toLatin1();
            m_offset = local.offsetFromUtc();
        }
        const qint64 local = second + m_offset;
        m_time = QByteArray::number(local / 3600 % 24).rightJustified(2, '0') + ':' +
                 QByteArray::number(local / 60 % 60).rightJustified(2, '0') + ':' +
                 QByteArray::number(local % 60).rightJustified(2, '0');
        setField(record.Date, DATE_WIDTH, m_date);
        setField(record.EventTime, EVENTTIME_WIDTH, m_time);
        record.IPAddress = qToBigEndian(online || record.EventCode == LoggedOn ? m_address[user] : 0);
        record.ServerIPAddress = qToBigEndian(m_server[user] ? m_server[user] : quint32(192) << 24 | 1);
        if (record.EventCode != LoggedOn && record.EventCode != AccessingFilteredSites &&
            record.EventCode != TryingInvalidPasswords)
            m_address[user] = 0;
        return record;
    }

private:
    std::mt19937 m_random{7};
    std::vector<quint32> m_address = std::vector<quint32>(USERS);
    std::vector<quint32> m_server = std::vector<quint32>(USERS);
    qint64 m_hour = -1;
    qint64 m_offset = 0;
    QByteArray m_date, m_time;
};

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

// Milliseconds that `ask` takes, the median and the worst of `runs`.
template <typename Ask> std::pair<double, double> timed(int runs, Ask ask)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        ask(i);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

double grepMs(const QString& log, const QByteArray& user, qint64& lines)
{
    QElapsedTimer timer;
    timer.start();
    QProcess grep;
    grep.start(QStringLiteral("grep"),
               {QStringLiteral("-c"), QStringLiteral("-F"), QString::fromLatin1(user), log});
    grep.waitForFinished(-1);
    lines = grep.readAllStandardOutput().trimmed().toLongLong();
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

// Processor time of this process's thread named `name`, from /proc.
double threadSeconds(const QByteArray& name)
{
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name ||
            !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
               double(sysconf(_SC_CLK_TCK));
    }
    return 0;
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&](const QString& name, const QString& fallback) {
        const qsizetype at = args.indexOf(name);
        return at > 0 && at + 1 < args.size() ? args[at + 1] : fallback;
    };
    const qint64 total = option(QStringLiteral("--events"), QStringLiteral("10000000")).toLongLong();
    const qint64 rate = option(QStringLiteral("--rate"), QStringLiteral("100000")).toLongLong();
    const QString dir =
        option(QStringLiteral("--dir"), QDir::tempPath() + QStringLiteral("/sorvane-bench-store"));
    QDir().mkpath(dir);
    const QString storePath = dir + QStringLiteral("/store.db"), logPath = dir + QStringLiteral("/log");
    QFile::remove(storePath);
    QFile::remove(storePath + QStringLiteral("-wal"));
    QFile::remove(logPath);

    // A year of events, stored at `rate` a second; the log gets the same events' lines.
    Site site;
    std::vector<Probe> probes;
    const qint64 start = QDateTime::currentMSecsSinceEpoch() * 1000 - 365 * DAY_US;
    const qint64 step = 365 * DAY_US / total;
    StoreOptions options;
    options.path = storePath;
    options.minFreeBytes = 0;
    auto store = std::make_unique<EventStore>(options);
    OnlineUsers online;
    std::vector<SessionChange> sessions;
    qint64 arrival = 0;
    online.sessions.starts = [&](const OnlineUser& user) { sessions.push_back({true, arrival, user, {}}); };
    online.sessions.ends = [&](const OnlineUser& user, const EventRecord& cause) {
        sessions.push_back(
            {false, arrival, user, cause.EventCode == LoggedOn ? "replaced" : eventKeyword(cause.EventCode)});
    };
    QFile log(logPath);
    log.open(QIODevice::WriteOnly);
    QByteArray lines;
    // The writer's processor time, sampled until it ends: a figure that the machine's load moves little.
    std::atomic<bool> watching{true};
    std::atomic<double> writerSeconds{0};
    std::thread watcher([&] {
        for (; watching; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            writerSeconds = std::max(writerSeconds.load(), threadSeconds("sorvane-store"));
    });
    quint64 mostKept = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 i = 0; i < total; i += BATCH) {
        EventBatch batch;
        batch.arrivalMicros = arrival = start + i * step;
        for (qint64 j = i; j < std::min(total, i + BATCH); ++j) {
            batch.events.push_back(site.next(probes, start + j * step));
            online.apply(batch.events.back());
            lines += formatLogLine(batch.events.back());
        }
        store->storeEvents(batch);
        store->storeSessions(std::exchange(sessions, {}));
        mostKept = std::max(mostKept, store->keptBack());
        if (lines.size() > (1 << 20))
            log.write(std::exchange(lines, {}));
        if (rate == 0) { // as fast as the writer takes them: the queue never overflows
            while (store->queued() > options.queueCapacity / 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const qint64 due = (i + BATCH) * 1000000000 / rate;
        if (const qint64 ahead = due - clock.nsecsElapsed(); ahead > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(ahead));
    }
    log.write(lines);
    log.close();
    const double fedSeconds = double(clock.nsecsElapsed()) / 1e9;
    // Every event indexed before the questions: nothing queued or kept back, twice over a moment.
    for (int quiet = 0; quiet < 2; std::this_thread::sleep_for(std::chrono::milliseconds(750)))
        quiet = store->queued() == 0 && store->keptBack() == 0 ? quiet + 1 : 0;
    store->finish(QDeadlineTimer(600000));
    const double storedSeconds = double(clock.nsecsElapsed()) / 1e9;
    const quint64 lost = store->notStored();
    watching = false;
    watcher.join();
    store.reset();
    std::printf("stored %lld events at %lld a second: fed in %.1f s, all indexed after %.1f s (at most %llu "
                "kept back meanwhile); %llu not stored\n",
                total, rate ? rate : qint64(double(total) / storedSeconds), fedSeconds, storedSeconds,
                static_cast<unsigned long long>(mostKept), static_cast<unsigned long long>(lost));
    std::printf("writer: %.1f s of processor time, %.1f us an event stored\n", writerSeconds.load(),
                writerSeconds.load() * 1e6 / double(std::max<qint64>(1, total - qint64(lost))));
    std::printf("disk: %.1f bytes an event in the store, %.1f in the log\n",
                double(fileSize(storePath) + fileSize(storePath + QStringLiteral("-wal"))) / double(total),
                double(fileSize(logPath)) / double(total));

    StoreReader reader;
    if (const QString why = reader.open(storePath); !why.isEmpty()) {
        std::fprintf(stderr, "cannot read the store: %s\n", qPrintable(why));
        return 1;
    }
    const int runs = int(std::min<std::size_t>(probes.size(), 20));
    qint64 found = 0;
    auto count = [&found](const auto& rows) {
        found += qint64(rows.size());
        return true;
    };
    auto [atMedian, atWorst] = timed(runs, [&](int i) {
        StoreQuery query;
        query.address = probes[std::size_t(i)].address;
        query.atMicros = probes[std::size_t(i)].at;
        reader.sessions(query, count);
    });
    std::printf("who had ADDRESS at TIME: %.2f ms median, %.2f ms worst of %d (%lld sessions found)\n",
                atMedian, atWorst, runs, found);
    found = 0;
    auto [userMedian, userWorst] = timed(runs, [&](int i) {
        StoreQuery query;
        query.user = QString::fromLatin1(probes[std::size_t(i)].user);
        query.fromMicros = start;
        reader.sessions(query, count);
    });
    qint64 grepLines = 0;
    const double grep = grepMs(logPath, probes[0].user, grepLines);
    std::printf("one user's sessions over the year: %.2f ms median, %.2f ms worst of %d (%lld sessions); "
                "grep -c -F of one user's lines: %.0f ms (%lld lines)\n",
                userMedian, userWorst, runs, found / std::max(runs, 1), grep, grepLines);
    std::vector<UserTotal> totals;
    auto [totalMedian, totalWorst] = timed(3, [&](int) {
        StoreQuery query;
        query.fromMicros = start + 335 * DAY_US;
        query.toMicros = start + 365 * DAY_US;
        totals.clear();
        reader.totals(query, start + 365 * DAY_US, totals);
    });
    std::printf("totals of every user over a month: %.0f ms median, %.0f ms worst of 3 (%zu users)\n",
                totalMedian, totalWorst, totals.size());
    return 0;
}
