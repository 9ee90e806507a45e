// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <vector>

// What a question to the store asks; every field left empty matches everything.
struct StoreQuery {
    QString user;                     // the whole user name, as stored (Latin-1 read as Unicode)
    std::optional<quint32> address;   // the user's address, a·2^24 + b·2^16 + c·2^8 + d
    std::optional<quint32> server;    // the reporting server's address, the same way
    std::optional<qint64> fromMicros; // UTC microseconds since the epoch, inclusive
    std::optional<qint64> toMicros;   // exclusive
    std::optional<qint64> atMicros;   // sessions only: those online at that moment
    QString site;                     // the writing monitor; empty: every site
};

// One user's time online. A session still open has no end; `how` then is empty.
struct StoredSession {
    QString site;
    QString user;
    QString group;
    quint32 address = 0;
    quint32 server = 0;
    QString loginTime; // the firewall's own log-in time text
    qint64 startMicros = 0;
    std::optional<qint64> endMicros;
    QString how;
};

// One stored event, every field the datagram carried, and when it arrived.
struct StoredEvent {
    qint64 arrivalMicros = 0;
    QString site;
    quint32 header = 0;
    quint32 code = 0;
    QString user;
    QString group;
    quint32 address = 0;
    quint32 server = 0;
    QString loginTime;
    QString date;
    QString time;
    bool imported = false; // brought in from a log file: its time is the line's, it has no address
};

// Sessions and time online of one user; only the part of a session inside the asked range counts,
// and an open session counts up to `nowMicros`.
struct UserTotal {
    QString user;
    qint64 sessions = 0;
    qint64 micros = 0;
};

// Answers questions from a store, read-only: it never writes, never takes the writer's lock, and
// may run beside a monitor that writes. One reader per thread.
class StoreReader
{
public:
    StoreReader();
    ~StoreReader();
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    // Opens a store file (or a postgresql:// location). Empty, or why not.
    QString open(const QString& location);

    // Each hands the rows, oldest first, in chunks to `take`; `take` returns false to stop (a
    // cancelled query). Empty, or why the query failed.
    using SessionSink = std::function<bool(const std::vector<StoredSession>&)>;
    using EventSink = std::function<bool(const std::vector<StoredEvent>&)>;
    QString sessions(const StoreQuery& query, const SessionSink& take);
    QString events(const StoreQuery& query, const EventSink& take);
    // Per user, by name.
    QString totals(const StoreQuery& query, qint64 nowMicros, std::vector<UserTotal>& totals);

private:
    QString m_connection;
    int m_version = 0; // the store's schema
};
