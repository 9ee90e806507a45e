// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventKind.h"

#include <QByteArray>

#include <array>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

// Longest piece of a line that is read as one line; the rest is read as a line of its own.
constexpr std::size_t LOG_PIECE_LENGTH = 149;

struct LogPiece {
    std::string_view dateField; // the second blank-separated run of the whole piece, or empty
    std::string_view shown;     // the piece cut before its first "#"
    bool hasDate = false;
};

// Applies the reading rules to one line without its line end: calls `onPiece` for every piece
// that is not empty after the "#" cut.
void splitLogLine(std::string_view line, const std::function<void(const LogPiece&)>& onPiece);

// Calls `onLine` for every line of `data` (CR LF or LF ends a line; a last line may have none).
void forEachLogLine(std::string_view data, const std::function<void(std::string_view)>& onLine);

// A source of the log's bytes: read() as the system call has it (bytes read, 0 at the end, -1 and
// errno on failure).
class LogSource
{
public:
    virtual ~LogSource() = default;
    virtual long read(char* buffer, std::size_t size) = 0;
};

// Lines of one date by the hour of their time and the kind of their keyword.
using HourlyKindCounts = std::array<std::array<quint32, EVENT_KIND_COUNT>, 24>;

struct LogSearchResult {
    std::vector<QByteArray> lines; // the shown text of every matching line, in file order
    int error = 0;                 // errno of a read that failed part-way; the lines before it stay
    QByteArray errorFile;          // the file whose read failed
    HourlyKindCounts perHour{};    // of the lines found; one without a readable time is in no hour
};

// The hour of a line's time field ("H:MM", "HH:MM" or either with ":SS"), or -1.
int hourOfTime(std::string_view time);

// The event kind of a shown line, by its last word (the writer puts the keyword last).
EventKind kindOfLine(std::string_view shown);

// Every line whose date field equals `dateKey`, read in large blocks; only the lines that hold the
// key's bytes are split into fields. The same pass counts them by hour and kind.
LogSearchResult findDateLines(LogSource& source, const QByteArray& dateKey);

// A log file for reading, a ".gz" one decompressed through zlib (damaged data fails with EBADMSG);
// nullptr with errno when it cannot be opened.
std::unique_ptr<LogSource> openLogFile(const QByteArray& path);

// Opens `path` for reading; `opened` tells whether it could be.
LogSearchResult findDateLinesInFile(const QByteArray& path, const QByteArray& dateKey, bool* opened);

// The log at `path` and the files logrotate made of it, oldest first: NAME.N or NAME.N.gz from the
// highest N down to 1, then NAME itself.
std::vector<QByteArray> logFilesOldestFirst(const QByteArray& path);

// Hands each of logFilesOldestFirst(path) that can be opened to `read`; returns how many were.
int readLogFiles(const QByteArray& path, const std::function<void(LogSource&, const QByteArray& file)>& read);

// findDateLines over every file of the log, oldest first. A failed read, such as a damaged ".gz",
// keeps what was found before it and the files after it are still read; the first failure is told.
LogSearchResult findDateLinesInLogs(const QByteArray& path, const QByteArray& dateKey, bool* opened);
