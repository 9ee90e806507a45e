// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <QByteArray>

// The record's log line with its CR LF: time, date, server, user and keyword, two blanks apart.
// A CR or LF inside a field is written as "?" so that no datagram can end a line early.
QByteArray formatLogLine(const EventRecord& record);

// Appends `lines` (whole lines, each with its line end) to the file at `path`, opened and closed
// for this one write. When the file does not end with a line end (a line cut short earlier), CR LF
// goes first so that the new line starts on a line of its own.
// Returns 0 when everything was written, -1 when the file could not be opened or the write fell
// short; `errorOut`, when given, receives errno, and `writtenOut` how many bytes of `lines` went in.
int appendLogText(const QByteArray& path, const QByteArray& lines, int* errorOut = nullptr,
                  qsizetype* writtenOut = nullptr);

// Whether lines could be appended to the log at `path` now, creating nothing: 0, or the errno that
// stands in the way (the folder missing or not writable, the path a folder).
int checkLogWritable(const QByteArray& path);

// One line for one record: 0 when written, -1 when lost.
int AppendLogLine(const QByteArray& path, const EventRecord& record);
