// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/LogReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <zlib.h>

namespace
{

constexpr std::size_t BLOCK_SIZE = 8 << 20;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view firstRun(std::string_view piece)
{
    const auto start = std::find_if_not(piece.begin(), piece.end(), isBlank);
    const auto end = std::find_if(start, piece.end(), isBlank);
    return piece.substr(std::size_t(start - piece.begin()), std::size_t(end - start));
}

std::string_view lastRun(std::string_view piece)
{
    std::size_t end = piece.size();
    while (end > 0 && isBlank(piece[end - 1]))
        --end;
    std::size_t start = end;
    while (start > 0 && !isBlank(piece[start - 1]))
        --start;
    return piece.substr(start, end - start);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view secondRun(std::string_view piece)
{
    std::size_t i = 0;
    const std::size_t n = piece.size();
    for (int run = 0; run < 2; ++run) {
        while (i < n && isBlank(piece[i]))
            ++i;
        if (i == n)
            return {};
        const std::size_t start = i;
        while (i < n && !isBlank(piece[i]))
            ++i;
        if (run == 1)
            return piece.substr(start, i - start);
    }
    return {};
}

class FileSource : public LogSource
{
public:
    explicit FileSource(int fd) : m_fd(fd) {}
    ~FileSource() override { ::close(m_fd); }
    long read(char* buffer, std::size_t size) override { return ::read(m_fd, buffer, size); }

private:
    int m_fd;
};

class GzipSource : public LogSource
{
public:
    explicit GzipSource(gzFile file) : m_file(file) {}
    ~GzipSource() override { gzclose(m_file); }
    long read(char* buffer, std::size_t size) override
    {
        // zlib drops the bytes of a read that meets damage: small reads keep most of what came before.
        const int n = gzread(m_file, buffer, static_cast<unsigned>(std::min<std::size_t>(size, 64 << 10)));
        int code = Z_OK;
        gzerror(m_file, &code);
        if (n > 0 || (n == 0 && code == Z_OK))
            return n;
        // Corrupt, or cut short (zlib then reports the end): what came before it stays read. An
        // interrupted read cannot be taken up again, so it fails too rather than being retried forever.
        errno = code != Z_ERRNO ? EBADMSG : errno == EINTR ? EIO : errno;
        return -1;
    }

private:
    gzFile m_file;
};

bool isNumber(QStringView text)
{
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Searches complete lines (the region ends with a line end, or is the file's last line).
void searchRegion(std::string_view region, std::string_view key, LogSearchResult& out)
{
    const char* const base = region.data();
    std::size_t pos = 0;
    while (pos < region.size()) {
        const void* hit = memmem(base + pos, region.size() - pos, key.data(), key.size());
        if (!hit)
            return;
        const std::size_t at = static_cast<const char*>(hit) - base;
        const void* before = memrchr(base + pos, '\n', at - pos);
        const std::size_t start = before ? static_cast<const char*>(before) - base + 1 : pos;
        const void* after = std::memchr(base + at, '\n', region.size() - at);
        const std::size_t end = after ? static_cast<const char*>(after) - base : region.size();
        // With its line feed, so that the CR before it goes with the line end.
        const std::size_t stop = after ? end + 1 : end;
        forEachLogLine(region.substr(start, stop - start), [&](std::string_view line) {
            splitLogLine(line, [&](const LogPiece& piece) {
                if (!piece.hasDate || piece.dateField != key)
                    return;
                out.lines.emplace_back(piece.shown.data(), static_cast<qsizetype>(piece.shown.size()));
                const int hour = hourOfTime(firstRun(piece.shown));
                if (hour >= 0)
                    ++out.perHour[static_cast<std::size_t>(hour)]
                                 [static_cast<std::size_t>(kindOfLine(piece.shown))];
            });
        });
        pos = end + 1;
    }
}

} // namespace

int hourOfTime(std::string_view time)
{
    // The firewalls' time is free text: only a clock reading counts.
    const std::size_t colon = time.find(':');
    if (colon != 1 && colon != 2)
        return -1;
    const bool seconds = time.size() == colon + 6;
    if (time.size() != colon + 3 && !seconds)
        return -1;
    for (std::size_t i = 0; i < time.size(); ++i) {
        const bool separator = i == colon || (seconds && i == colon + 3);
        if (separator ? time[i] != ':' : !isDigit(time[i]))
            return -1;
    }
    const int hour = colon == 1 ? time[0] - '0' : (time[0] - '0') * 10 + (time[1] - '0');
    const int minute = (time[colon + 1] - '0') * 10 + (time[colon + 2] - '0');
    const int second = seconds ? (time[colon + 4] - '0') * 10 + (time[colon + 5] - '0') : 0;
    // A leap second reads as 60.
    return hour < 24 && minute < 60 && second <= 60 ? hour : -1;
}

EventKind kindOfLine(std::string_view shown)
{
    return eventKindOfKeyword(lastRun(shown));
}

void splitLogLine(std::string_view line, const std::function<void(const LogPiece&)>& onPiece)
{
    do {
        const std::string_view piece = line.substr(0, LOG_PIECE_LENGTH);
        line.remove_prefix(piece.size());
        LogPiece result;
        result.dateField = secondRun(piece);
        result.hasDate = !result.dateField.empty();
        result.shown = piece.substr(0, piece.find('#'));
        if (!result.shown.empty())
            onPiece(result);
    } while (!line.empty());
}

void forEachLogLine(std::string_view data, const std::function<void(std::string_view)>& onLine)
{
    while (!data.empty()) {
        const std::size_t lf = data.find('\n');
        std::string_view line = data.substr(0, lf);
        data.remove_prefix(lf == std::string_view::npos ? data.size() : lf + 1);
        if (!line.empty() && line.back() == '\r' && lf != std::string_view::npos)
            line.remove_suffix(1);
        onLine(line);
    }
}

LogSearchResult findDateLines(LogSource& source, const QByteArray& dateKey)
{
    LogSearchResult result;
    if (dateKey.isEmpty())
        return result;
    const std::string_view key(dateKey.constData(), static_cast<std::size_t>(dateKey.size()));
    // Not zero-filled: only what read() put there is searched, so a small log touches few pages.
    const std::unique_ptr<char[]> buffer(new char[BLOCK_SIZE]);
    std::size_t carry = 0; // start of a line that the previous block did not finish
    for (;;) {
        const long n = source.read(buffer.get() + carry, BLOCK_SIZE - carry);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = errno;
            return result;
        }
        if (n == 0) {
            searchRegion(std::string_view(buffer.get(), carry), key, result);
            return result;
        }
        const std::size_t size = carry + static_cast<std::size_t>(n);
        // Only the bytes just read: the carried ones hold no line feed, and rescanning them on every
        // short read of a long line took time quadratic in its length.
        const void* lastLf = memrchr(buffer.get() + carry, '\n', static_cast<std::size_t>(n));
        std::size_t done;
        if (lastLf) {
            done = static_cast<const char*>(lastLf) - buffer.get() + 1;
        } else if (size == BLOCK_SIZE) {
            // A line longer than the block: its pieces up to a multiple of the piece length are
            // complete, and the rest starts a piece of its own.
            done = (size - 1) / LOG_PIECE_LENGTH * LOG_PIECE_LENGTH;
        } else {
            carry = size;
            continue;
        }
        searchRegion(std::string_view(buffer.get(), done), key, result);
        carry = size - done;
        std::memmove(buffer.get(), buffer.get() + done, carry);
    }
}

std::unique_ptr<LogSource> openLogFile(const QByteArray& path)
{
    if (path.endsWith(".gz")) {
        const gzFile file = gzopen(path.constData(), "rbe");
        return file ? std::make_unique<GzipSource>(file) : nullptr;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? std::make_unique<FileSource>(fd) : nullptr;
}

LogSearchResult findDateLinesInFile(const QByteArray& path, const QByteArray& dateKey, bool* opened)
{
    const std::unique_ptr<LogSource> source = openLogFile(path);
    *opened = source != nullptr;
    return source ? findDateLines(*source, dateKey) : LogSearchResult();
}

std::vector<QByteArray> logFilesOldestFirst(const QByteArray& path)
{
    const QFileInfo log(QFile::decodeName(path));
    const QString prefix = log.fileName() + u'.';
    std::map<quint64, QString, std::greater<>> rotated;
    for (const QString& name : log.dir().entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(prefix))
            continue;
        const bool gz = name.endsWith(QLatin1String(".gz"));
        const QStringView number = QStringView(name).mid(prefix.size()).chopped(gz ? 3 : 0);
        if (!isNumber(number) || number.size() > 9 || number.toULongLong() == 0)
            continue;
        // Beside its plain file, a ".gz" is one that gzip is still writing.
        QString& chosen = rotated[number.toULongLong()];
        if (chosen.isEmpty() || !gz)
            chosen = name;
    }
    std::vector<QByteArray> files;
    for (const auto& entry : rotated)
        files.push_back(QFile::encodeName(log.dir().filePath(entry.second)));
    files.push_back(path);
    return files;
}

int readLogFiles(const QByteArray& path, const std::function<void(LogSource&, const QByteArray& file)>& read)
{
    int opened = 0;
    for (const QByteArray& file : logFilesOldestFirst(path)) {
        if (const std::unique_ptr<LogSource> source = openLogFile(file)) {
            ++opened;
            read(*source, file);
        }
    }
    return opened;
}

LogSearchResult findDateLinesInLogs(const QByteArray& path, const QByteArray& dateKey, bool* opened)
{
    LogSearchResult all;
    *opened = readLogFiles(path, [&](LogSource& source, const QByteArray& file) {
                  LogSearchResult found = findDateLines(source, dateKey);
                  all.lines.insert(all.lines.end(), std::make_move_iterator(found.lines.begin()),
                                   std::make_move_iterator(found.lines.end()));
                  for (std::size_t hour = 0; hour < all.perHour.size(); ++hour)
                      for (std::size_t kind = 0; kind < all.perHour[hour].size(); ++kind)
                          all.perHour[hour][kind] += found.perHour[hour][kind];
                  if (found.error != 0 && all.error == 0) {
                      all.error = found.error;
                      all.errorFile = file;
                  }
              }) > 0;
    return all;
}
