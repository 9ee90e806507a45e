// SPDX-License-Identifier: GPL-3.0-or-later
// bench_history: generates user logs of the given sizes, times the History window's Refresh for one
// date in each, and times `grep -c -F <date> <file>` on the same file for comparison.

#include "events/EventRecord.h"
#include "historywindow/HistoryWindow.h"
#include "widgets/MessageBoxes.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int LINES_PER_DATE = 20000;

const char* const USERS[] = {"jsmith",   "akowalski", "mbrown",   "lchen",
                             "operator", "guest01",   "r.garcia", "s.ivanova"};

class PrintingBoxes : public MessageBoxes
{
public:
    void show(QWidget*, const QString& text, const QString&, Icon) override
    {
        std::fprintf(stderr, "message box: %s\n", qPrintable(text));
    }
};

// One date's lines in the writer's format, times spread over the day.
void appendDate(std::string& out, const QDate& date, quint32& seed)
{
    char day[16];
    std::snprintf(day, sizeof day, "%02d/%02d/%04d", date.month(), date.day(), date.year());
    char line[192];
    for (int i = 0; i < LINES_PER_DATE; ++i) {
        const int second = static_cast<int>(qint64(i) * 86400 / LINES_PER_DATE);
        seed = seed * 1664525u + 1013904223u;
        const int n =
            std::snprintf(line, sizeof line, "%02d:%02d:%02d  %s  10.0.%u.%u  %s  %s\r\n", second / 3600,
                          second / 60 % 60, second % 60, day, (seed >> 4) & 3u, 1u + (seed >> 8) % 254u,
                          USERS[(seed >> 16) % 8u], eventKeyword((seed >> 24) % EVENT_CODE_COUNT));
        out.append(line, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, const std::string& data)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

struct GeneratedLog {
    qint64 bytes = 0;
    qint64 lines = 0;
    QDate target;
};

// Fills `path` with about `size` bytes: blocks of 20,000 lines a date, dates spread from 1999 to 2026.
bool generateLog(const QString& path, qint64 size, GeneratedLog& log)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    quint32 seed = 12345;
    std::string block;
    const QDate first(1999, 1, 1);
    appendDate(block, first, seed);
    const qint64 perDate = static_cast<qint64>(block.size());
    const qint64 dates = std::max<qint64>(1, (size + perDate - 1) / perDate);
    const qint64 step = std::max<qint64>(1, first.daysTo(QDate(2026, 12, 31)) / dates);
    log = GeneratedLog();
    log.target = first.addDays(dates / 2 * step);
    bool ok = true;
    for (qint64 i = 0; i < dates && ok; ++i) {
        if (i > 0) {
            block.clear();
            appendDate(block, first.addDays(i * step), seed);
        }
        ok = writeAll(fd, block);
        log.bytes += static_cast<qint64>(block.size());
        log.lines += LINES_PER_DATE;
    }
    return ::close(fd) == 0 && ok;
}

qint64 parseSize(QString text)
{
    text = text.trimmed().toUpper();
    qint64 unit = 1;
    if (text.endsWith(u'K'))
        unit = qint64(1) << 10;
    else if (text.endsWith(u'M'))
        unit = qint64(1) << 20;
    else if (text.endsWith(u'G'))
        unit = qint64(1) << 30;
    if (unit > 1)
        text.chop(1);
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && value > 0 ? static_cast<qint64>(value * double(unit)) : -1;
}

QString sizeText(qint64 bytes)
{
    if (bytes >= (qint64(1) << 30))
        return QString::number(double(bytes) / double(qint64(1) << 30), 'f', 2) + QStringLiteral(" GiB");
    return QString::number(double(bytes) / double(1 << 20), 'f', 1) + QStringLiteral(" MiB");
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs grep as an operator would, returning its count (-1 on failure) and the wall time.
qint64 timeGrep(const QString& key, const QString& path, double* ms)
{
    QProcess grep;
    QElapsedTimer timer;
    timer.start();
    grep.start(QStringLiteral("grep"), {QStringLiteral("-c"), QStringLiteral("-F"), key, path});
    if (!grep.waitForFinished(-1))
        return -1;
    *ms = double(timer.nsecsElapsed()) / 1e6;
    bool ok = false;
    const qint64 count = grep.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? count : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the History window's Refresh against grep -c -F."));
    parser.addHelpOption();
    const QCommandLineOption sizesOption(QStringLiteral("sizes"),
                                         QStringLiteral("Comma-separated log sizes (default 10M,100M,1G)."),
                                         QStringLiteral("LIST"), QStringLiteral("10M,100M,1G"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"),
                                          QStringLiteral("Timed runs of each side per size (default 5)."),
                                          QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption dirOption(
        QStringLiteral("dir"), QStringLiteral("Directory for the generated logs (default: a temporary one)."),
        QStringLiteral("DIR"));
    parser.addOptions({sizesOption, repeatOption, dirOption});
    parser.process(app);

    std::vector<qint64> sizes;
    for (const QString& item : parser.value(sizesOption).split(u',', Qt::SkipEmptyParts)) {
        const qint64 size = parseSize(item);
        if (size <= 0) {
            std::fprintf(stderr, "bench_history: bad size \"%s\"\n", qPrintable(item));
            return 2;
        }
        sizes.push_back(size);
    }
    const int repeats = std::max(1, parser.value(repeatOption).toInt());
    QTemporaryDir tempDir(parser.isSet(dirOption)
                              ? parser.value(dirOption) + QStringLiteral("/bench_history-XXXXXX")
                              : QDir::tempPath() + QStringLiteral("/bench_history-XXXXXX"));
    if (!tempDir.isValid()) {
        std::fprintf(stderr, "bench_history: cannot create a directory for the logs\n");
        return 1;
    }

    std::printf(
        "Refresh of one date (20,000 lines) through HistoryWindow, against grep -c -F; best of %d runs\n",
        repeats);
    std::printf("%-10s %11s %8s %8s %12s %12s %12s %12s %7s\n", "log", "lines", "listed", "grep -c",
                "refresh ms", "(median)", "grep ms", "(median)", "ratio");
    int failures = 0;
    PrintingBoxes boxes;
    for (const qint64 size : sizes) {
        const QString path = tempDir.filePath(QStringLiteral("userfile"));
        GeneratedLog log;
        if (!generateLog(path, size, log)) {
            std::fprintf(stderr, "bench_history: cannot write %s\n", qPrintable(path));
            QFile::remove(path);
            return 1;
        }
        const QDate target = log.target;
        const QString key = target.toString(QStringLiteral("MM/dd/yyyy"));
        double warm = 0;
        timeGrep(key, path, &warm); // the first read of a fresh file would favour whoever comes second

        HistoryWindow dlg(nullptr, QFile::encodeName(path), boxes, [target] { return target; });
        dlg.show();
        QCoreApplication::processEvents();
        auto* refresh = dlg.findChild<QPushButton*>(QStringLiteral("Refresh"));
        const QAbstractItemModel* model = dlg.findChild<QListView*>(QStringLiteral("HistoryList"))->model();
        std::vector<double> refreshMs;
        std::vector<double> grepMs;
        qint64 grepCount = -1;
        for (int run = 0; run < repeats; ++run) {
            QElapsedTimer timer;
            timer.start();
            refresh->click();
            QCoreApplication::processEvents();
            refreshMs.push_back(double(timer.nsecsElapsed()) / 1e6);
            double ms = 0;
            grepCount = timeGrep(key, path, &ms);
            grepMs.push_back(ms);
        }
        const double bestRefresh = *std::min_element(refreshMs.begin(), refreshMs.end());
        const double bestGrep = *std::min_element(grepMs.begin(), grepMs.end());
        const int listed = model->rowCount();
        std::printf("%-10s %11lld %8d %8lld %12.1f %12.1f %12.1f %12.1f %7.2f\n",
                    qPrintable(sizeText(log.bytes)), static_cast<long long>(log.lines), listed,
                    static_cast<long long>(grepCount), bestRefresh, median(refreshMs), bestGrep,
                    median(grepMs), bestRefresh / bestGrep);
        std::fflush(stdout);
        if (listed != LINES_PER_DATE || grepCount != LINES_PER_DATE)
            ++failures;
        QFile::remove(path);
    }
    if (failures)
        std::fprintf(stderr, "bench_history: a count differs from %d lines\n", LINES_PER_DATE);
    return failures ? 1 : 0;
}
