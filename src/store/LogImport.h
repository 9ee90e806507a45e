// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "store/StoreFile.h"

#include <QByteArray>
#include <QString>

struct ImportCounts {
    quint64 read = 0;          // lines read
    quint64 added = 0;         // stored now
    quint64 present = 0;       // already in the store, imported before or stored live
    quint64 notUnderstood = 0; // not a log line the monitor writes: skipped
};

// Brings log files into the store, as events marked imported, with the line's date and time in local
// time as their time and no address. A line goes in unless the store already holds as many rows of
// the same five fields as its occurrence among identical lines of its file: so a copy of a file
// adds nothing, and genuine repeated lines stay.
class LogImport
{
public:
    LogImport();
    ~LogImport();
    LogImport(const LogImport&) = delete;
    LogImport& operator=(const LogImport&) = delete;

    // Takes the store's lock and opens it for writing, only as the store's owner (or the folder's,
    // for a new store): a store left to another user could no longer be written by the service.
    // Empty, or why not.
    QString open(const QString& path, const QString& site);
    // Reads `log` and the files logrotate made of it, oldest first. Empty, or why a file could not be
    // read; what was read before stays stored.
    QString importLog(const QByteArray& log);
    const ImportCounts& counts() const { return m_counts; }

private:
    QString importFile(class LogSource& source, const QByteArray& file);

    QString m_connection;
    QString m_site;
    StoreLock m_lock;
    ImportCounts m_counts;
};
