// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/ProcessMetrics.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace
{

QByteArray fileText(const char* path)
{
    QFile file(QString::fromLatin1(path));
    // Files of /proc have no size: read to the end.
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

prometheus::MetricFamily family(const char* name, const char* help, prometheus::MetricType type, double value)
{
    prometheus::ClientMetric metric;
    metric.counter.value = metric.gauge.value = value;
    return {name, help, type, {metric}};
}

// The system's boot time, seconds since 1970, from the clocks: a sandbox may hide /proc/stat.
double bootTime()
{
    timespec now{}, sinceBoot{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    return double(now.tv_sec - sinceBoot.tv_sec) + double(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
}

} // namespace

std::vector<prometheus::MetricFamily> processFamilies()
{
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> families;
    const QByteArray stat = fileText("/proc/self/stat");
    // The fields after the command's name, which may hold blanks and parentheses: the state first.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    if (fields.size() > 21 && ticks > 0) {
        const auto field = [&](int number) { return fields[number - 3].toDouble(); };
        families.push_back(family("process_cpu_seconds_total", "User and system CPU time spent in seconds.",
                                  MetricType::Counter, (field(14) + field(15)) / ticks));
        families.push_back(family("process_start_time_seconds",
                                  "Start time of the process since unix epoch in seconds.", MetricType::Gauge,
                                  bootTime() + field(22) / ticks));
        families.push_back(family("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                                  MetricType::Gauge, field(23)));
        families.push_back(family("process_resident_memory_bytes", "Resident memory size in bytes.",
                                  MetricType::Gauge, field(24) * double(::sysconf(_SC_PAGESIZE))));
    }
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (fds.exists())
        families.push_back(
            family("process_open_fds", "Number of open file descriptors.", MetricType::Gauge,
                   double(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size())));
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0)
        families.push_back(family("process_max_fds", "Maximum number of open file descriptors.",
                                  MetricType::Gauge, double(files.rlim_cur)));
    return families;
}
