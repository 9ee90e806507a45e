// Events a second that the forwarder hands to a real rsyslogd over TCP with nothing missing: for each
// rate, N numbered events go through Forwarder (as the pipeline would hand them on, in batches) to an
// rsyslogd of the benchmark's own on a loopback port, and the collector's file is read back.

#include "forward/Forwarder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

quint16 freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    ::close(fd);
    return ntohs(local.sin_port);
}

bool listening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

// Reads the collector's file as it grows: which of the numbers 0..count-1 arrived, how often.
class Tally
{
public:
    Tally(const QString& path, int count) : m_file(path), m_seen(std::size_t(count), 0) {}
    void read()
    {
        if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly))
            return;
        m_rest += m_file.readAll();
        qsizetype start = 0;
        for (qsizetype end; (end = m_rest.indexOf('\n', start)) >= 0; start = end + 1) {
            const qsizetype u = m_rest.indexOf(": u", start);
            if (u < 0 || u > end)
                continue;
            const qsizetype space = m_rest.indexOf(' ', u + 3);
            bool ok = false;
            const int k = m_rest.mid(u + 3, space - u - 3).toInt(&ok);
            if (ok && k >= 0 && std::size_t(k) < m_seen.size()) {
                ++m_arrived;
                if (m_seen[std::size_t(k)]++ != 0)
                    ++m_doubled;
            }
        }
        m_rest.remove(0, start);
    }
    int arrived() const { return m_arrived; }
    int doubled() const { return m_doubled; }
    int missing() const { return int(std::count(m_seen.begin(), m_seen.end(), 0)); }

private:
    QFile m_file;
    QByteArray m_rest;
    std::vector<unsigned char> m_seen;
    int m_arrived = 0;
    int m_doubled = 0;
};

EventBatch batchOf(int first, int count)
{
    EventBatch batch;
    batch.arrivalMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    for (int i = first; i < first + count; ++i) {
        EventRecord record;
        setField(record.Username, USERNAME_WIDTH, "u" + QByteArray::number(i));
        setField(record.Groupname, GROUPNAME_WIDTH, "Staff");
        setField(record.Date, DATE_WIDTH, "12/06/2026");
        setField(record.EventTime, EVENTTIME_WIDTH, "10:15:02");
        record.IPAddress = ipAddressFromBytes(10, quint8(64 + (i >> 16) % 192), quint8(i >> 8), quint8(i));
        record.ServerIPAddress = ipAddressFromBytes(10, 0, 0, 1);
        batch.events.push_back(record);
    }
    return batch;
}

struct Run {
    int rate;
    double pushed;    // events a second handed to the forwarder
    double delivered; // events a second written by the collector, first hand-over to last line
    quint64 notForwarded;
    int missing;
    int doubled;
};

Run runAt(int rate, int count, quint16 port, const QString& log)
{
    Tally tally(log, count);
    ForwardOptions options;
    options.targets.push_back(*parseForwardUrl(QStringLiteral("tcp://127.0.0.1:%1").arg(port)));
    Forwarder forwarder(options);
    QThread::msleep(200); // connected before the clock starts
    QCoreApplication::processEvents();

    // Batches of up to 1024, as the pipeline hands them on, paced against the clock.
    QElapsedTimer clock;
    clock.start();
    int next = 0;
    while (next < count) {
        const qint64 due = std::min<qint64>(count, clock.nsecsElapsed() * rate / 1000000000);
        while (next < due) {
            const int n = int(std::min<qint64>(1024, due - next));
            forwarder.forwardEvents(batchOf(next, n));
            next += n;
        }
        QCoreApplication::processEvents();
        if (next < count)
            QThread::usleep(500);
    }
    const double pushSeconds = clock.nsecsElapsed() / 1e9;

    // Until everything arrived, or nothing more has for 5 s.
    qint64 lastGrowth = clock.elapsed();
    qint64 lastArrival = lastGrowth;
    int seen = -1;
    while (tally.arrived() < count - int(forwarder.notForwarded()) && clock.elapsed() - lastGrowth < 5000) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
        tally.read();
        if (tally.arrived() != seen) {
            seen = tally.arrived();
            lastGrowth = lastArrival = clock.elapsed();
        }
    }
    forwarder.finish(2000);
    return {rate,
            count / pushSeconds,
            tally.arrived() / (lastArrival / 1000.0),
            forwarder.notForwarded(),
            tally.missing(),
            tally.doubled()};
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int count = 1000000;
    QList<int> rates = {50000, 100000, 150000, 200000, 300000};
    QString rsyslogd = QStringLiteral("/usr/sbin/rsyslogd");
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--count"))
            count = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--rates")) {
            rates.clear();
            for (const QString& r : args[i + 1].split(QLatin1Char(',')))
                rates << r.toInt();
        } else if (args[i] == QLatin1String("--rsyslogd"))
            rsyslogd = args[i + 1];
    }
    if (count <= 0 || rates.isEmpty() ||
        std::any_of(rates.begin(), rates.end(), [](int r) { return r <= 0; })) {
        std::fprintf(stderr, "usage: bench_forward [--count N] [--rates R,R,...] [--rsyslogd PATH]\n");
        return 2;
    }

    QTemporaryDir dir;
    const quint16 port = freeTcpPort();
    const QString log = dir.filePath(QStringLiteral("collector.log"));
    QDir().mkpath(dir.filePath(QStringLiteral("work")));
    QFile conf(dir.filePath(QStringLiteral("rsyslog.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(
        QStringLiteral("global(workDirectory=\"%1\" processInternalMessages=\"on\")\n"
                       "module(load=\"imtcp\")\n"
                       "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"%2\" ruleset=\"collect\")\n"
                       "template(name=\"msg\" type=\"string\" string=\"%msg%\\n\")\n"
                       "ruleset(name=\"collect\") { action(type=\"omfile\" file=\"%3\" template=\"msg\") }\n"
                       "*.* action(type=\"omfile\" file=\"%4\")\n")
            .arg(dir.filePath(QStringLiteral("work")))
            .arg(port)
            .arg(log, dir.filePath(QStringLiteral("internal.log")))
            .toUtf8());
    conf.close();
    QProcess collector;
    collector.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    collector.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    collector.start(rsyslogd, {QStringLiteral("-n"), QStringLiteral("-f"), conf.fileName(),
                               QStringLiteral("-i"), dir.filePath(QStringLiteral("rsyslog.pid"))});
    const QDeadlineTimer deadline(20000);
    while (!listening(port)) {
        if (collector.state() == QProcess::NotRunning || deadline.hasExpired()) {
            std::fprintf(stderr, "bench_forward: %s did not start\n", qPrintable(rsyslogd));
            return 1;
        }
        QThread::msleep(20);
    }

    double load[3] = {};
    getloadavg(load, 3);
    std::printf("machine: %d cores, load average %.2f %.2f %.2f; %d events a run into rsyslogd over TCP\n",
                QThread::idealThreadCount(), load[0], load[1], load[2], count);
    std::printf("%8s %10s %12s %13s %8s %8s\n", "rate/s", "pushed/s", "delivered/s", "not forwarded",
                "missing", "doubled");
    int best = 0;
    for (const int rate : rates) {
        const Run run = runAt(rate, count, port, log);
        std::printf("%8d %10.0f %12.0f %13llu %8d %8d\n", run.rate, run.pushed, run.delivered,
                    static_cast<unsigned long long>(run.notForwarded), run.missing, run.doubled);
        std::fflush(stdout);
        if (run.missing == 0 && run.doubled == 0 && run.notForwarded == 0)
            best = std::max(best, rate);
        QFile::resize(log, 0);
    }
    std::printf("highest rate with nothing missing: %s\n",
                best ? qPrintable(QStringLiteral("%1/s").arg(best)) : "none of the rates tried");
    ::kill(pid_t(collector.processId()), SIGTERM);
    collector.waitForFinished(10000);
    return 0;
}
