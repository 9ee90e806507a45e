// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QSqlDatabase;

// The store file's own number in SQLite's header ("Sorv"), and the schema this build writes.
constexpr int STORE_APPLICATION_ID = 0x536f7276;
constexpr int STORE_SCHEMA_VERSION = 5;

// Holds PATH.lock with flock() while the store is open: one monitor per store, and the kernel lets go
// when the process dies, however it dies. Readers of the store never take it.
class StoreLock
{
public:
    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock();
    // Empty once held, else why not.
    QString take(const QString& storePath);

private:
    int m_fd = -1;
};

// What keeps `path` from being this build's store; empty when it may be opened and written (it is
// missing, empty, or a Sorvane store of this schema or an older one). Reads only.
QString refusalOf(const QString& path, const QString& connectionName);

// A store in a PostgreSQL server rather than a file: postgresql://USER@HOST[:PORT]/DB[?sslmode=MODE].
bool isServerLocation(const QString& location);
// Why such a location may not be used, or empty: it carries a password (libpq reads that from
// PGPASSFILE, or a client certificate stands in), or a host beyond loopback lacks sslmode=verify-full.
QString checkServerLocation(const QString& location);
// The Qt SQL driver that opens `location`.
QString storeDriver(const QString& location);

// Opens `db` (named, not yet open, of `storeDriver`) on `location` for writing, and makes or brings up
// its schema: a file in WAL mode; in a server, only while no other monitor of `site` writes there.
// Empty, or why not.
QString openForWriting(QSqlDatabase& db, const QString& location, const QString& site);

// The schema version of the open store `db`, 0 for none yet; `why` says why it could not be read.
qint64 schemaVersion(QSqlDatabase& db, QString& why);

// Opens `db` (named, not yet open, of `storeDriver`) on the store at `location` read-only, refusing what is
// not this build's store. Empty, or why not.
QString openForReading(QSqlDatabase& db, const QString& location);
