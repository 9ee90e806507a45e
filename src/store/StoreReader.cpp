// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/StoreReader.h"

#include "store/StoreFile.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <limits>

namespace
{

constexpr std::size_t CHUNK_ROWS = 1000;
constexpr qint64 NEVER = std::numeric_limits<qint64>::max();

// The conditions of a query on `table` (sessions or events) and the values they bind, in order.
struct Where {
    QStringList conditions;
    QVariantList values;
    void add(const char* condition, const QVariantList& bound)
    {
        conditions << QString::fromLatin1(condition);
        values << bound;
    }
    QString text() const
    {
        return conditions.isEmpty() ? QString()
                                    : QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    }
};

Where common(const StoreQuery& q, int version)
{
    Where where;
    // Indexes by user and by address are per segment: the question is asked of each.
    if (version >= 5 && (!q.user.isEmpty() || q.address))
        where.add("segment IN (SELECT id FROM segments)", {});
    if (!q.user.isEmpty())
        where.add("user_name = ?", {q.user});
    if (q.address)
        where.add("address = ?", {qint64(*q.address)});
    if (q.server)
        where.add("server = ?", {qint64(*q.server)});
    if (!q.site.isEmpty())
        where.add("site = ?", {q.site});
    return where;
}

// Sessions online at some time of [from, to), or at the moment `at`.
Where sessionsWhere(const StoreQuery& q, int version)
{
    Where where = common(q, version);
    if (q.atMicros) {
        where.add("started_us <= ?", {*q.atMicros});
        where.add("(ended_us > ? OR ended_us IS NULL)", {*q.atMicros});
        return where;
    }
    if (q.toMicros)
        where.add("started_us < ?", {*q.toMicros});
    if (q.fromMicros)
        where.add("(ended_us > ? OR ended_us IS NULL)", {*q.fromMicros});
    return where;
}

bool run(QSqlQuery& query, const QString& sql, const QVariantList& values)
{
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return false;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values[i]);
    return query.exec();
}

QString failure(const QSqlQuery& query)
{
    const QSqlError error = query.lastError();
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

// Hands the query's rows, made by `make`, in chunks to `take`.
template <typename Row, typename Make, typename Take>
QString deliver(QSqlQuery& query, const Make& make, const Take& take)
{
    std::vector<Row> chunk;
    chunk.reserve(CHUNK_ROWS);
    while (query.next()) {
        chunk.push_back(make(query));
        if (chunk.size() == CHUNK_ROWS) {
            if (!take(chunk))
                return {};
            chunk.clear();
        }
    }
    if (query.lastError().isValid())
        return failure(query);
    if (!chunk.empty())
        take(chunk);
    return {};
}

quint32 address(const QVariant& value)
{
    return quint32(value.toLongLong());
}

} // namespace

StoreReader::StoreReader()
{
    static std::atomic<int> readers{0};
    m_connection = QStringLiteral("sorvane-reader-%1").arg(readers.fetch_add(1));
}

StoreReader::~StoreReader()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QString StoreReader::open(const QString& location)
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
    QSqlDatabase db = QSqlDatabase::addDatabase(storeDriver(location), m_connection);
    QString why = openForReading(db, location);
    if (why.isEmpty())
        m_version = int(schemaVersion(db, why));
    if (!why.isEmpty())
        db.close();
    return why;
}

QString StoreReader::sessions(const StoreQuery& q, const SessionSink& take)
{
    const Where where = sessionsWhere(q, m_version);
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query,
             QStringLiteral("SELECT site, user_name, group_name, address, server, login_time, started_us, "
                            "ended_us, how FROM sessions") +
                 where.text() + QStringLiteral(" ORDER BY started_us, id"),
             where.values))
        return failure(query);
    return deliver<StoredSession>(
        query,
        [](const QSqlQuery& row) {
            StoredSession s{row.value(0).toString(),   row.value(1).toString(),
                            row.value(2).toString(),   address(row.value(3)),
                            address(row.value(4)),     row.value(5).toString(),
                            row.value(6).toLongLong(), std::nullopt,
                            row.value(8).toString()};
            if (!row.isNull(7))
                s.endMicros = row.value(7).toLongLong();
            return s;
        },
        take);
}

QString StoreReader::events(const StoreQuery& q, const EventSink& take)
{
    Where where = common(q, m_version);
    if (q.fromMicros)
        where.add("arrival_us >= ?", {*q.fromMicros});
    if (q.toMicros)
        where.add("arrival_us < ?", {*q.toMicros});
    // A store from before imports has no such column: none of its rows was imported.
    const QString imported = m_version >= 3 ? QStringLiteral("imported") : QStringLiteral("0");
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query,
             QStringLiteral("SELECT arrival_us, site, header, code, user_name, group_name, address, server, "
                            "login_time, date, time, ") +
                 imported + QStringLiteral(" FROM events") + where.text() +
                 QStringLiteral(" ORDER BY arrival_us, id"),
             where.values))
        return failure(query);
    return deliver<StoredEvent>(
        query,
        [](const QSqlQuery& row) {
            return StoredEvent{row.value(0).toLongLong(), row.value(1).toString(),  address(row.value(2)),
                               address(row.value(3)),     row.value(4).toString(),  row.value(5).toString(),
                               address(row.value(6)),     address(row.value(7)),    row.value(8).toString(),
                               row.value(9).toString(),   row.value(10).toString(), row.value(11).toBool()};
        },
        take);
}

QString StoreReader::totals(const StoreQuery& q, qint64 nowMicros, std::vector<UserTotal>& totals)
{
    StoreQuery range = q;
    if (range.atMicros) // a moment: the sessions then, counted up to it
        range.fromMicros = range.toMicros = range.atMicros;
    const Where where = sessionsWhere(q, m_version);
    const qint64 from = range.fromMicros.value_or(std::numeric_limits<qint64>::min());
    const qint64 to = range.toMicros.value_or(NEVER);
    // The part of each session inside [from, to): CASE rather than two-argument min and max, which
    // not every database has.
    const QString end = QStringLiteral("CASE WHEN ended_us IS NULL THEN ? ELSE ended_us END");
    const QString sql =
        QStringLiteral(
            "SELECT user_name, count(*), sum(CASE WHEN e > s THEN e - s ELSE 0 END) FROM (SELECT "
            "user_name, CASE WHEN started_us < ? THEN ? ELSE started_us END AS s, CASE WHEN %1 > ? "
            "THEN ? ELSE %1 END AS e FROM sessions%2) AS parts GROUP BY user_name ORDER BY user_name")
            .arg(end, where.text());
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!run(query, sql, QVariantList{from, from, nowMicros, to, to, nowMicros} + where.values))
        return failure(query);
    totals.clear();
    while (query.next())
        totals.push_back(
            {query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong()});
    return query.lastError().isValid() ? failure(query) : QString();
}
