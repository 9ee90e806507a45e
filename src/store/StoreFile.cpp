// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/StoreFile.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr mode_t STORE_MODE = 0640;

// Schema version N+1 is reached by MIGRATIONS[N]; ids and times are integers, texts UTF-8.
const char* const MIGRATIONS[][8] = {
    {"CREATE TABLE events(id INTEGER PRIMARY KEY, arrival_us INTEGER NOT NULL, site TEXT NOT NULL, "
     "header INTEGER NOT NULL, code INTEGER NOT NULL, user_name TEXT NOT NULL, group_name TEXT NOT NULL, "
     "address INTEGER NOT NULL, server INTEGER NOT NULL, login_time TEXT NOT NULL, date TEXT NOT NULL, "
     "time TEXT NOT NULL)",
     "CREATE INDEX events_address ON events(address, arrival_us)",
     "CREATE INDEX events_user ON events(user_name, arrival_us)",
     "CREATE TABLE alerts(id INTEGER PRIMARY KEY, arrival_us INTEGER NOT NULL, site TEXT NOT NULL, "
     "rule TEXT NOT NULL, server INTEGER NOT NULL, user_name TEXT NOT NULL, address INTEGER NOT NULL, "
     "text TEXT NOT NULL)",
     "CREATE TABLE monitor_runs(id INTEGER PRIMARY KEY, site TEXT NOT NULL, started_us INTEGER NOT NULL, "
     "stopped_us INTEGER)",
     nullptr},
    {"CREATE TABLE sessions(id INTEGER PRIMARY KEY, site TEXT NOT NULL, user_name TEXT NOT NULL, "
     "group_name TEXT NOT NULL, address INTEGER NOT NULL, server INTEGER NOT NULL, login_time TEXT NOT NULL, "
     "started_us INTEGER NOT NULL, ended_us INTEGER, how TEXT)",
     "CREATE INDEX sessions_address ON sessions(address, started_us)",
     "CREATE INDEX sessions_user ON sessions(user_name, started_us)", nullptr},
    // Lines brought in from logs; retention by time, as imported rows come with old times and new ids;
    // the log line's fields, to find a line again; sessions by address or user answered from the index.
    {"ALTER TABLE events ADD COLUMN imported INTEGER NOT NULL DEFAULT 0",
     "CREATE INDEX events_arrival ON events(arrival_us)",
     "CREATE INDEX events_line ON events(date, time, user_name)", "DROP INDEX sessions_address",
     "CREATE INDEX sessions_address ON sessions(address, started_us, ended_us)", "DROP INDEX sessions_user",
     "CREATE INDEX sessions_user ON sessions(user_name, started_us, ended_us)", nullptr},
};
static_assert(std::size(MIGRATIONS) == STORE_SCHEMA_VERSION);

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

qint64 pragma(QSqlQuery& query, const char* name, bool& ok)
{
    ok = ok && query.exec(QStringLiteral("PRAGMA ") + QLatin1String(name)) && query.next();
    return ok ? query.value(0).toLongLong() : 0;
}

// The file's first bytes, or why they cannot be read.
QString readHead(const QString& path, QByteArray& head)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? QString() : systemReason();
    head.resize(16);
    const ssize_t got = ::read(fd, head.data(), std::size_t(head.size()));
    const QString why = got < 0 ? systemReason() : QString();
    ::close(fd);
    head.resize(got < 0 ? 0 : qsizetype(got));
    return why;
}

} // namespace

StoreLock::~StoreLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString StoreLock::take(const QString& storePath)
{
    const QByteArray path = QFile::encodeName(storePath + QStringLiteral(".lock"));
    m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, STORE_MODE);
    if (m_fd < 0)
        return QStringLiteral("cannot make %1: %2").arg(QFile::decodeName(path), systemReason());
    ::fchmod(m_fd, STORE_MODE);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
        return {};
    const QString why =
        errno == EWOULDBLOCK ? QStringLiteral("locked by another running monitor") : systemReason();
    ::close(m_fd);
    m_fd = -1;
    return why;
}

QString refusalOf(const QString& path, const QString& connectionName)
{
    QByteArray head;
    if (const QString why = readHead(path, head); !why.isEmpty())
        return why;
    if (head.isEmpty())
        return {}; // SQLite makes a new database in an empty file
    if (head != QByteArray("SQLite format 3", 16))
        return QStringLiteral("not an SQLite database");
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            why = QStringLiteral("cannot be read: ") + db.lastError().databaseText();
        } else {
            QSqlQuery query(db);
            bool ok = true;
            const qint64 id = pragma(query, "application_id", ok);
            const qint64 version = pragma(query, "user_version", ok);
            const bool anyTable =
                ok && query.exec(QStringLiteral("SELECT 1 FROM sqlite_master")) && query.next();
            if (!ok || query.lastError().isValid())
                why = QStringLiteral("cannot be read: ") + query.lastError().databaseText();
            else if (id != STORE_APPLICATION_ID && (id != 0 || anyTable))
                why = QStringLiteral("not a Sorvane store");
            else if (version > STORE_SCHEMA_VERSION)
                why = QStringLiteral("written by a newer Sorvane (schema %1; this one knows up to %2)")
                          .arg(version)
                          .arg(STORE_SCHEMA_VERSION);
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return why;
}

QString openForWriting(QSqlDatabase& db, const QString& path)
{
    const bool made = !QFile::exists(path);
    db.setDatabaseName(path);
    if (!db.open())
        return db.lastError().text();
    if (made)
        ::chmod(QFile::encodeName(path).constData(), STORE_MODE);
    QSqlQuery query(db);
    bool ok = true;
    pragma(query, "journal_mode=WAL", ok);
    ok = ok && query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // The indexes' pages stay in memory rather than being read back for every batch.
    ok = ok && query.exec(QStringLiteral("PRAGMA cache_size=-32768"));
    const qint64 version = pragma(query, "user_version", ok);
    if (ok && version < STORE_SCHEMA_VERSION) {
        ok = db.transaction();
        for (qint64 step = version; ok && step < STORE_SCHEMA_VERSION; ++step) {
            for (const char* const* sql = MIGRATIONS[step]; ok && *sql; ++sql)
                ok = query.exec(QString::fromLatin1(*sql));
        }
        ok = ok && query.exec(QStringLiteral("PRAGMA application_id=%1").arg(STORE_APPLICATION_ID)) &&
             query.exec(QStringLiteral("PRAGMA user_version=%1").arg(STORE_SCHEMA_VERSION)) && db.commit();
        if (!ok)
            db.rollback();
    }
    return ok ? QString() : query.lastError().text();
}

QString openForReading(QSqlDatabase& db, const QString& location)
{
    if (const QString why = refusalOf(location, db.connectionName() + QStringLiteral("-check"));
        !why.isEmpty())
        return why;
    if (!QFile::exists(location))
        return QStringLiteral("no such file");
    db.setDatabaseName(location);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!db.open())
        return db.lastError().text();
    QSqlQuery query(db);
    bool ok = true;
    const qint64 version = pragma(query, "user_version", ok);
    if (!ok)
        return query.lastError().databaseText();
    return version == 0 ? QStringLiteral("holds no store yet") : QString();
}
