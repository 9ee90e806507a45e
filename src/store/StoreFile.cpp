// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/StoreFile.h"

#include "events/Address.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <QtEndian>

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
const char* const MIGRATIONS[][14] = {
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
    // the log line's fields, to find a line again; sessions by address or user answered from the index;
    // an address has one open session at most, which its end finds among the few open ones.
    {"ALTER TABLE events ADD COLUMN imported INTEGER NOT NULL DEFAULT 0",
     "CREATE INDEX events_arrival ON events(arrival_us)",
     "CREATE INDEX events_line ON events(date, time, user_name)", "DROP INDEX sessions_address",
     "CREATE INDEX sessions_address ON sessions(address, started_us, ended_us)", "DROP INDEX sessions_user",
     "CREATE INDEX sessions_user ON sessions(user_name, started_us, ended_us)",
     "CREATE INDEX sessions_open ON sessions(site, address) WHERE ended_us IS NULL", nullptr},
    // Every index of a row costs the writer, which must keep up with the intake: live rows are pruned
    // in id order (they come in time order) and imported ones through an index of their own; a
    // session's end leaves the address index be.
    {"DROP INDEX events_arrival", "CREATE INDEX events_imported ON events(arrival_us) WHERE imported = 1",
     "DROP INDEX sessions_address", "CREATE INDEX sessions_address ON sessions(address, started_us)",
     nullptr},
    // Rows by user and by address are indexed within a segment of some hundred thousand events: a
    // new row goes into the newest segment's part of each index, which stays in memory however large
    // the store grows, and a question looks into each of the few segments. Older rows are segment 0.
    {"ALTER TABLE events ADD COLUMN segment INTEGER NOT NULL DEFAULT 0",
     "ALTER TABLE sessions ADD COLUMN segment INTEGER NOT NULL DEFAULT 0",
     "CREATE TABLE segments(id INTEGER PRIMARY KEY, site TEXT NOT NULL, events INTEGER NOT NULL)",
     "INSERT INTO segments(id, site, events) VALUES(0, '', 0)", "DROP INDEX events_address",
     "CREATE INDEX events_address ON events(segment, address, arrival_us)", "DROP INDEX events_user",
     "CREATE INDEX events_user ON events(segment, user_name, arrival_us)", "DROP INDEX sessions_address",
     "CREATE INDEX sessions_address ON sessions(segment, address, started_us)", "DROP INDEX sessions_user",
     "CREATE INDEX sessions_user ON sessions(segment, user_name, started_us, ended_us)",
     // Work that came faster than the writer indexes it, in order, kept to be indexed later.
     "CREATE TABLE backlog(id INTEGER PRIMARY KEY, site TEXT NOT NULL, kind INTEGER NOT NULL, "
     "arrival_us INTEGER NOT NULL, events INTEGER NOT NULL, body BLOB NOT NULL)",
     nullptr},
};
static_assert(std::size(MIGRATIONS) == STORE_SCHEMA_VERSION);

const QString SERVER_SCHEME = QStringLiteral("postgresql://");
const QStringList SSL_MODES = {QStringLiteral("disable"),   QStringLiteral("allow"),
                               QStringLiteral("prefer"),    QStringLiteral("require"),
                               QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

// PostgreSQL's words for SQLite's: ids of their own sequence, and 64-bit integers throughout.
QString inDialect(const char* sql, bool server)
{
    QString text = QString::fromLatin1(sql);
    if (server)
        text.replace(QLatin1String("INTEGER PRIMARY KEY"),
                     QLatin1String("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"))
            .replace(QLatin1String("INTEGER"), QLatin1String("BIGINT"))
            .replace(QLatin1String("BLOB"), QLatin1String("BYTEA"));
    return text;
}

// Brings the schema from `version` up to this build's, inside the caller's transaction.
bool migrate(QSqlQuery& query, qint64 version, bool server)
{
    bool ok = true;
    for (qint64 step = version; ok && step < STORE_SCHEMA_VERSION; ++step) {
        for (const char* const* sql = MIGRATIONS[step]; ok && *sql; ++sql)
            ok = query.exec(inDialect(*sql, server));
    }
    return ok;
}

QString newerSchema(qint64 version)
{
    return QStringLiteral("written by a newer Sorvane (schema %1; this one knows up to %2)")
        .arg(version)
        .arg(STORE_SCHEMA_VERSION);
}

// The site's advisory lock key: the same for every monitor of that name, whatever its build.
int siteKey(const QString& site)
{
    const QByteArray digest = QCryptographicHash::hash(site.toUtf8(), QCryptographicHash::Sha256);
    return int(qFromBigEndian<quint32>(digest.constData()));
}

QString connectServer(QSqlDatabase& db, const QString& location)
{
    const QUrl url(location);
    db.setUserName(url.userName());
    db.setHostName(url.host());
    db.setPort(url.port(-1));
    db.setDatabaseName(url.path().mid(1));
    // A server that does not answer holds up the start no longer than this.
    QString options = QStringLiteral("connect_timeout=10");
    if (const QString mode = QUrlQuery(url).queryItemValue(QStringLiteral("sslmode")); !mode.isEmpty())
        options += QStringLiteral(";sslmode=") + mode;
    db.setConnectOptions(options);
    if (!db.open())
        return db.lastError().databaseText().trimmed();
    // The server's notices ("already exists, skipping") are not the operator's business.
    QSqlQuery quiet(QStringLiteral("SET client_min_messages TO warning"), db);
    return quiet.lastError().databaseText();
}

QString openServerForWriting(QSqlDatabase& db, const QString& location, const QString& site)
{
    if (QString why = connectServer(db, location); !why.isEmpty())
        return why;
    QSqlQuery query(db);
    // Held by this connection: the server lets go when the monitor ends, however it ends.
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?, ?)"));
    query.addBindValue(STORE_APPLICATION_ID);
    query.addBindValue(siteKey(site));
    if (!query.exec() || !query.next())
        return query.lastError().databaseText();
    if (!query.value(0).toBool())
        return QStringLiteral("site %1 is locked by another running monitor").arg(site);
    // Monitors of other sites may start at the same moment: one brings the schema up, the others wait.
    bool ok = db.transaction() &&
              query.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(STORE_APPLICATION_ID));
    QString why;
    const qint64 version = ok ? schemaVersion(db, why) : 0;
    ok = ok && why.isEmpty();
    if (version > STORE_SCHEMA_VERSION) {
        why = newerSchema(version);
        ok = false;
    } else if (ok && version < STORE_SCHEMA_VERSION) {
        // PostgreSQL has no user_version: the schema's version has a table of its own.
        ok = (version > 0 ||
              query.exec(QStringLiteral("CREATE TABLE sorvane_schema(version INTEGER NOT NULL)"))) &&
             migrate(query, version, true) && query.exec(QStringLiteral("DELETE FROM sorvane_schema")) &&
             query.exec(QStringLiteral("INSERT INTO sorvane_schema VALUES(%1)").arg(STORE_SCHEMA_VERSION));
    }
    ok = ok && db.commit();
    if (!ok)
        db.rollback();
    return ok || !why.isEmpty() ? why : query.lastError().databaseText();
}

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

namespace
{

// Opens a store file read-only. A running monitor keeps the -shm file that readers share; with none
// running there is none, and a reader reads the quiet file as immutable rather than leave files of
// its own (root's, perhaps) that the monitor could not write.
QString openFileReadOnly(QSqlDatabase& db, const QString& path)
{
    QString name = path;
    QString options = QStringLiteral("QSQLITE_OPEN_READONLY");
    if (!QFile::exists(path + QStringLiteral("-shm"))) {
        QUrl url = QUrl::fromLocalFile(path);
        url.setQuery(QStringLiteral("immutable=1"));
        name = url.toString(QUrl::FullyEncoded);
        options += QStringLiteral(";QSQLITE_OPEN_URI");
    }
    db.setDatabaseName(name);
    db.setConnectOptions(options);
    return db.open() ? QString() : db.lastError().databaseText();
}

} // namespace

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
        if (const QString failed = openFileReadOnly(db, path); !failed.isEmpty()) {
            why = QStringLiteral("cannot be read: ") + failed;
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
                why = newerSchema(version);
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return why;
}

bool isServerLocation(const QString& location)
{
    return location.startsWith(SERVER_SCHEME);
}

QString checkServerLocation(const QString& location)
{
    const QUrl url(location, QUrl::StrictMode);
    const QString authority = location.mid(SERVER_SCHEME.size()).section(QLatin1Char('/'), 0, 0);
    if (authority.section(QLatin1Char('@'), 0, -2).contains(QLatin1Char(':')))
        return QStringLiteral("a password does not belong in the store's URL: libpq reads it from the file "
                              "PGPASSFILE names, or a client certificate stands in");
    const QUrlQuery query(url);
    const auto items = query.queryItems();
    const QString mode = query.queryItemValue(QStringLiteral("sslmode"));
    if (!url.isValid() || url.userName().isEmpty() || url.path().size() < 2 ||
        url.path().indexOf(QLatin1Char('/'), 1) > 0 || url.hasFragment() || items.size() > 1 ||
        (items.size() == 1 && !SSL_MODES.contains(mode)))
        return QStringLiteral("\"%1\" is not postgresql://USER@HOST[:PORT]/DATABASE[?sslmode=MODE]")
            .arg(location);
    const QString host = url.host();
    quint32 address = 0;
    const bool loopback = host.isEmpty() || host == QLatin1String("localhost") ||
                          host == QLatin1String("::1") || (parseIPv4(host, address) && address >> 24 == 127);
    if (!loopback && mode != QLatin1String("verify-full"))
        return QStringLiteral("the store's server %1 is not on this machine: it needs sslmode=verify-full")
            .arg(host);
    return {};
}

QString storeDriver(const QString& location)
{
    return isServerLocation(location) ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
}

QString openForWriting(QSqlDatabase& db, const QString& path, const QString& site)
{
    if (isServerLocation(path))
        return openServerForWriting(db, path, site);
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
    // The indexes' pages that each batch touches stay in memory, and a page written again and again
    // goes back into the file once a checkpoint rather than once a commit.
    ok = ok && query.exec(QStringLiteral("PRAGMA cache_size=-131072")) &&
         query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=16384"));
    const qint64 version = pragma(query, "user_version", ok);
    if (ok && version < STORE_SCHEMA_VERSION) {
        ok = db.transaction() && migrate(query, version, false) &&
             query.exec(QStringLiteral("PRAGMA application_id=%1").arg(STORE_APPLICATION_ID)) &&
             query.exec(QStringLiteral("PRAGMA user_version=%1").arg(STORE_SCHEMA_VERSION)) && db.commit();
        if (!ok)
            db.rollback();
    }
    return ok ? QString() : query.lastError().text();
}

qint64 schemaVersion(QSqlDatabase& db, QString& why)
{
    QSqlQuery query(db);
    bool ok = true;
    qint64 version = 0;
    if (db.driverName() != QLatin1String("QPSQL"))
        version = pragma(query, "user_version", ok);
    else if ((ok = query.exec(QStringLiteral("SELECT to_regclass('sorvane_schema') IS NOT NULL")) &&
                   query.next()) &&
             query.value(0).toBool())
        version = (ok = query.exec(QStringLiteral("SELECT max(version) FROM sorvane_schema")) && query.next())
                      ? query.value(0).toLongLong()
                      : 0;
    why = ok ? QString() : query.lastError().databaseText();
    return version;
}

QString openForReading(QSqlDatabase& db, const QString& location)
{
    QString why;
    if (isServerLocation(location)) {
        why = connectServer(db, location);
        if (why.isEmpty())
            QSqlQuery(QStringLiteral("SET default_transaction_read_only = on"), db);
    } else {
        why = refusalOf(location, db.connectionName() + QStringLiteral("-check"));
        if (why.isEmpty() && !QFile::exists(location))
            return QStringLiteral("no such file");
        if (why.isEmpty())
            why = openFileReadOnly(db, location);
    }
    if (!why.isEmpty())
        return why;
    const qint64 version = schemaVersion(db, why);
    if (version > STORE_SCHEMA_VERSION)
        return newerSchema(version);
    return !why.isEmpty() || version > 0 ? why : QStringLiteral("holds no store yet");
}
