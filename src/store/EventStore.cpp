// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/EventStore.h"

#include "store/StoreFile.h"
#include "store/WriteStatement.h"

#include "events/Address.h"

#include <QDataStream>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace
{

constexpr std::chrono::seconds IDLE_WAKE{1};
constexpr std::chrono::milliseconds CHECKPOINT_PERIOD{500};
constexpr qint64 WAL_BOUND_BYTES = qint64(64) << 20;
constexpr std::chrono::milliseconds GATHER_TIME{1000};
constexpr std::size_t GATHER_EVENTS = 50000;
constexpr qint64 ROOM_CHECK_MS = 1000;
constexpr qint64 PRUNE_PERIOD_MS = 60000;
constexpr int PRUNE_STEP_ROWS = 2000;
constexpr qint64 COMMIT_PERIOD_MS = 10000;
constexpr std::size_t EVENTS_PER_TRANSACTION = 1000000; // a finish that runs out of time stops between
constexpr qint64 MICROS_PER_DAY = qint64(86400) * 1000000;
// The newest segment's part of the indexes stays within the page cache at this size.
constexpr quint64 SEGMENT_EVENTS = 524288;

qint64 nowMicros()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

// Several events a statement: running a statement costs about as much as inserting its row.
constexpr std::size_t ROWS_PER_INSERT = 64;
constexpr int EVENT_VALUES = 12;

QString insertEvents(std::size_t rows)
{
    QStringList values;
    for (std::size_t i = 0; i < rows; ++i)
        values << QStringLiteral("(?,?,?,?,?,?,?,?,?,?,?,?)");
    return QStringLiteral(
               "INSERT INTO events(arrival_us, site, header, code, user_name, group_name, address, "
               "server, login_time, date, time, segment) VALUES") +
           values.join(QLatin1Char(','));
}

qint64 monotonicMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

// A fixed field of the datagram: Latin-1 up to its first NUL.
template <std::size_t N> void bindField(WriteStatement& statement, int index, const char (&field)[N])
{
    statement.bindLatin1(index, field, qstrnlen(field, N));
}

// The address as one number, a.b.c.d = a*2^24 + ...: ranges of addresses are ranges of numbers.
qint64 addressNumber(quint32 datagramOrder)
{
    const auto* b = reinterpret_cast<const uchar*>(&datagramOrder);
    return (qint64(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

// The online list's dotted address text, as addressNumber() gives it; 0 for none.
qint64 dottedNumber(const char* text)
{
    in_addr address{};
    return ::inet_pton(AF_INET, text, &address) == 1 ? addressNumber(address.s_addr) : 0;
}

} // namespace

EventStore::EventStore(const StoreOptions& options, QObject* parent) : QObject(parent), m_options(options)
{
    if (m_options.site.isEmpty())
        m_options.site = QSysInfo::machineHostName();
    m_siteUtf8 = m_options.site.toUtf8();
    if (!isServerLocation(m_options.path))
        m_options.path = QFileInfo(m_options.path).absoluteFilePath();
    m_thread = std::thread([this] { run(); });
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return !m_opening; });
}

EventStore::~EventStore()
{
    finish(QDeadlineTimer(0));
}

void EventStore::storeEvents(const EventBatch& batch)
{
    if (batch.events.empty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_refused && !m_finishing && m_queuedEvents + batch.events.size() <= m_options.queueCapacity) {
            m_queue.push_back({batch, {}, {}});
            m_queuedEvents += batch.events.size();
            m_wake.notify_one();
            return;
        }
    }
    countNotStored(batch.events.size());
}

void EventStore::storeAlert(const StoredAlert& alert)
{
    const std::lock_guard lock(m_mutex);
    if (m_refused || m_finishing)
        return;
    m_queue.push_back({{}, {alert}, {}});
    m_wake.notify_one();
}

void EventStore::storeSessions(std::vector<SessionChange> changes)
{
    // Bounded with the events: a full queue has just turned away the batch these came from.
    const std::lock_guard lock(m_mutex);
    if (m_refused || m_finishing || m_queuedEvents + changes.size() > m_options.queueCapacity)
        return;
    m_queuedEvents += changes.size();
    m_queue.push_back({{}, {}, std::move(changes)});
    m_wake.notify_one();
}

void EventStore::beginFinish()
{
    const std::lock_guard lock(m_mutex);
    m_finishing = true;
    m_wake.notify_one();
}

bool EventStore::finish(QDeadlineTimer deadline)
{
    if (!m_thread.joinable())
        return m_notStored == 0;
    beginFinish();
    {
        std::unique_lock lock(m_mutex);
        if (!m_wake.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())),
                             [this] { return m_done; }))
            m_abandon = true;
    }
    m_thread.join();
    return !m_abandon;
}

QString EventStore::condition() const
{
    const std::lock_guard lock(m_mutex);
    return m_condition;
}

void EventStore::addStatus(StatusReport& report) const
{
    report.addCount(notStored(), {"event not stored", "events not stored"});
    if (const QString now = condition(); !now.isEmpty())
        report.addCondition(now);
}

void EventStore::setCondition(const QString& reason)
{
    const QString now =
        reason.isEmpty() ? QString() : QStringLiteral("store %1: %2").arg(m_options.path, reason);
    {
        const std::lock_guard lock(m_mutex);
        if (now == m_condition)
            return;
        m_condition = now;
    }
    QMetaObject::invokeMethod(
        this, [this] { emit statusChanged(); }, Qt::QueuedConnection);
}

void EventStore::run()
{
    // The store yields the processor to the intake: under a flood it falls behind and counts what
    // it cannot keep, rather than the system dropping datagrams before they are logged.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    ::pthread_setname_np(::pthread_self(), "sorvane-store"); // for top -H, and the benchmark
    const QString name = QStringLiteral("sorvane-store-%1").arg(quintptr(this), 0, 16);
    // A server keeps one monitor per site itself.
    const bool file = !isServerLocation(m_options.path);
    StoreLock lock;
    QString why = file ? lock.take(m_options.path) : QString();
    if (why.isEmpty() && file)
        why = refusalOf(m_options.path, name);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(storeDriver(m_options.path), name);
        if (why.isEmpty())
            why = openForWriting(db, m_options.path, m_options.site);
        if (why.isEmpty() && !(recordRun(db, true) && takeSegment(db)))
            why = db.lastError().databaseText();
        setCondition(why);
        {
            const std::lock_guard guard(m_mutex);
            m_opening = false;
            m_refused = !why.isEmpty();
            m_done = m_refused;
            m_wake.notify_all();
        }
        if (why.isEmpty()) {
            std::thread checkpointer;
            // A log grown by a flood goes back to this size once copied.
            if (file &&
                QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(WAL_BOUND_BYTES)) &&
                QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")))
                checkpointer = std::thread([this] { checkpoints(); });
            writeLoop(db);
            {
                const std::lock_guard guard(m_mutex);
                m_stopCheckpoints = true;
                m_checkpointWake.notify_one();
            }
            if (checkpointer.joinable())
                checkpointer.join();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void EventStore::checkpoints()
{
    // Copying the write-ahead log into the file takes seconds after a large commit: on a thread of
    // its own, it never holds up the writer, whose queue would overflow meanwhile under a flood.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    ::pthread_setname_np(::pthread_self(), "sorvane-ckpt");
    const QString name = QStringLiteral("sorvane-checkpoint-%1").arg(quintptr(this), 0, 16);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_options.path);
        QSqlQuery query(db.open() ? db : QSqlDatabase());
        std::unique_lock lock(m_mutex);
        while (!m_checkpointWake.wait_for(lock, CHECKPOINT_PERIOD, [this] { return m_stopCheckpoints; })) {
            lock.unlock();
            query.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
            lock.lock();
        }
        lock.unlock();
        query.clear();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void EventStore::writeLoop(QSqlDatabase& db)
{
    m_keptBackRows = keptBackRows(db);
    endSessions(db, Kept::Ended); // a monitor of this site that was killed left them open
    prune(db);                    // what aged while no monitor ran
    std::unique_lock lock(m_mutex);
    for (bool wrote = true;;) {
        if (m_keptBackRows == 0 || !wrote) { // else there is work already, unless it cannot be written
            m_wake.wait_for(lock, IDLE_WAKE, [this] { return m_finishing || !m_queue.empty(); });
            // A transaction costs mostly its commit: gathering for a moment makes fewer, larger ones.
            m_wake.wait_for(lock, GATHER_TIME,
                            [this] { return m_finishing || m_queuedEvents >= GATHER_EVENTS; });
        }
        std::deque<Pending> work;
        work.swap(m_queue);
        m_queuedEvents = 0;
        const bool finishing = m_finishing;
        lock.unlock();
        wrote = write(db, work, finishing);
        if (!finishing)
            prune(db);
        lock.lock();
        if (finishing && m_queue.empty())
            break;
    }
    lock.unlock();
    endSessions(db, Kept::Stopped);
    recordRun(db, false);
    lock.lock();
    m_done = true;
    m_wake.notify_all();
}

void EventStore::endSessions(QSqlDatabase& db, Kept how)
{
    // Behind work kept back, the end waits its turn with it.
    if (m_keptBackRows == 0)
        endOpenSessions(db, how, nowMicros());
    else
        keep(db, how, nowMicros(), QByteArray(""), 0); // empty, not NULL
}

// The writer's statements, prepared once a write.
struct EventStore::Statements {
    explicit Statements(QSqlDatabase& db)
        : events(db, insertEvents(ROWS_PER_INSERT)), event(db, insertEvents(1)),
          alert(db, QStringLiteral("INSERT INTO alerts(arrival_us, site, rule, server, user_name, address, "
                                   "text) VALUES(?,?,?,?,?,?,?)")),
          starts(db, QStringLiteral("INSERT INTO sessions(site, user_name, group_name, address, server, "
                                    "login_time, started_us, segment) VALUES(?,?,?,?,?,?,?,?)")),
          ends(db, QStringLiteral("UPDATE sessions SET ended_us = ?, how = ? WHERE site = ? AND address = ? "
                                  "AND server = ? AND user_name = ? AND ended_us IS NULL"))
    {
    }
    WriteStatement events, event, alert, starts, ends;
};

bool EventStore::write(QSqlDatabase& db, std::deque<Pending>& work, bool finishing)
{
    quint64 waiting = 0;
    for (const Pending& pending : work)
        waiting += pending.batch.events.size();
    // Checked while idle too, so that a pause ends on the status line once room is back.
    if (!hasRoom()) {
        countNotStored(waiting);
        commit(db);
        return false;
    }
    if (work.empty() && (m_keptBackRows == 0 || finishing))
        return commit(db);
    Statements statements(db);
    bool ok = m_transactionSince >= 0 || begin(db);
    // More than the writer indexes in a moment, or work behind what is already kept back: it is
    // kept back too, in order, at a fraction of the cost, and indexed as the writer catches up.
    const bool behind = m_keptBackRows > 0 || waiting > m_options.directEvents;
    for (const Pending& pending : work) {
        if (m_abandon || !ok)
            break;
        ok = behind ? keepBack(db, statements, pending) : writePending(statements, pending);
        m_inTransaction += pending.batch.events.size();
        waiting -= pending.batch.events.size();
        // A long queue goes in several transactions, so that a finish out of time loses only the rest.
        if (ok && m_inTransaction >= EVENTS_PER_TRANSACTION)
            ok = commit(db) && begin(db);
    }
    countNotStored(waiting);
    if (ok && !finishing)
        ok = catchUp(db, statements);
    ok = ok && countSegment(db, std::exchange(m_indexed, 0));
    if (!ok) {
        m_indexed = 0;
        if (m_transactionSince >= 0) {
            if (!m_writeError.isEmpty())
                setCondition(m_writeError);
            db.rollback();
            countNotStored(std::exchange(m_inTransaction, 0));
            m_transactionSince = -1;
            m_keptBackRows = keptBackRows(db);
        }
        return false;
    }
    // While more waits or is kept back, the transaction goes on: each commit writes every page the
    // batch touched, wherever in the indexes, so a flood is stored in few, large ones.
    bool more = false;
    {
        const std::lock_guard lock(m_mutex);
        more = (!m_queue.empty() || m_keptBackRows > 0) && !m_finishing;
    }
    if (more && monotonicMs() - m_transactionSince < COMMIT_PERIOD_MS)
        return true;
    return commit(db);
}

bool EventStore::failed(const QString& error)
{
    m_writeError = error;
    return false;
}

bool EventStore::writePending(Statements& statements, const Pending& pending)
{
    const std::vector<EventRecord>& records = pending.batch.events;
    for (std::size_t first = 0; first < records.size();) {
        const bool many = records.size() - first >= ROWS_PER_INSERT;
        WriteStatement& statement = many ? statements.events : statements.event;
        for (std::size_t row = 0; row < (many ? ROWS_PER_INSERT : 1); ++row, ++first)
            bindEvent(statement, int(row) * EVENT_VALUES, pending.batch.arrivalMicros, records[first]);
        if (!statement.exec())
            return failed(statement.error());
    }
    m_indexed += records.size();
    for (const StoredAlert& stored : pending.alerts) {
        WriteStatement& alert = statements.alert;
        alert.bind(0, stored.arrivalMicros);
        alert.bindUtf8(1, m_siteUtf8);
        alert.bindLatin1(2, stored.rule.constData(), std::size_t(stored.rule.size()));
        alert.bind(3, addressNumber(stored.server));
        alert.bindLatin1(4, stored.user.constData(), std::size_t(stored.user.size()));
        alert.bind(5, addressNumber(stored.address));
        alert.bindLatin1(6, stored.text.constData(), std::size_t(stored.text.size()));
        if (!alert.exec())
            return failed(alert.error());
    }
    for (const SessionChange& change : pending.sessions) {
        WriteStatement& statement = change.starts ? statements.starts : statements.ends;
        if (!writeSession(statements.starts, statements.ends, change))
            return failed(statement.error());
    }
    return true;
}

bool EventStore::keepBack(QSqlDatabase& db, Statements& statements, const Pending& pending)
{
    if (!pending.alerts.empty() && !writePending(statements, {{}, pending.alerts, {}})) // order-free
        return false;
    if (!pending.batch.events.empty()) {
        // As datagrams, whose form outlives any build; mostly padding, so compressed.
        QByteArray body;
        body.reserve(qsizetype(pending.batch.events.size() * EVENT_DATAGRAM_SIZE));
        for (const EventRecord& record : pending.batch.events)
            body += encodeEvent(record);
        if (!keep(db, Kept::Events, pending.batch.arrivalMicros, qCompress(body, 1),
                  pending.batch.events.size()))
            return false;
    }
    if (pending.sessions.empty())
        return true;
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    for (const SessionChange& change : pending.sessions) {
        const OnlineUser& user = change.user;
        out << change.starts << change.atMicros << QByteArray(user.Username) << QByteArray(user.Groupname)
            << QByteArray(user.LoginTime) << QByteArray(user.IPAddress) << QByteArray(user.ServerIPAddress)
            << change.how;
    }
    return keep(db, Kept::Sessions, 0, qCompress(body, 1), 0);
}

bool EventStore::keep(QSqlDatabase& db, Kept kind, qint64 atMicros, const QByteArray& body, quint64 events)
{
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("INSERT INTO backlog(site, kind, arrival_us, events, body) VALUES(?,?,?,?,?)"));
    query.addBindValue(m_options.site);
    query.addBindValue(int(kind));
    query.addBindValue(atMicros);
    query.addBindValue(qint64(events));
    query.addBindValue(body);
    if (!query.exec())
        return failed(query.lastError().databaseText());
    ++m_keptBackRows;
    m_keptBackEvents.fetch_add(events, std::memory_order_relaxed);
    return true;
}

namespace
{

template <std::size_t N> void copyField(char (&field)[N], const QByteArray& text)
{
    qstrncpy(field, text.constData(), N);
}

std::vector<SessionChange> keptChanges(const QByteArray& body)
{
    std::vector<SessionChange> changes;
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_6_0);
    while (!in.atEnd() && in.status() == QDataStream::Ok) {
        SessionChange change;
        QByteArray name, group, login, address, server;
        in >> change.starts >> change.atMicros >> name >> group >> login >> address >> server >> change.how;
        copyField(change.user.Username, name);
        copyField(change.user.Groupname, group);
        copyField(change.user.LoginTime, login);
        copyField(change.user.IPAddress, address);
        copyField(change.user.ServerIPAddress, server);
        if (in.status() == QDataStream::Ok)
            changes.push_back(change);
    }
    return changes;
}

} // namespace

bool EventStore::catchUp(QSqlDatabase& db, Statements& statements)
{
    // Oldest first, a moment at a time, so that the queue behind stays short.
    QElapsedTimer spent;
    spent.start();
    while (m_keptBackRows > 0 && spent.elapsed() < m_options.catchUpMs) {
        struct Row {
            qint64 id;
            Kept kind;
            qint64 at;
            QByteArray body;
        };
        std::vector<Row> rows;
        QSqlQuery query(db);
        query.prepare(QStringLiteral(
            "SELECT id, kind, arrival_us, body FROM backlog WHERE site = ? ORDER BY id LIMIT 64"));
        query.addBindValue(m_options.site);
        if (!query.exec())
            return failed(query.lastError().databaseText());
        while (query.next())
            rows.push_back({query.value(0).toLongLong(), Kept(query.value(1).toInt()),
                            query.value(2).toLongLong(), query.value(3).toByteArray()});
        query.finish();
        if (rows.empty()) {
            m_keptBackRows = 0;
            break;
        }
        quint64 events = 0;
        for (const Row& row : rows) {
            Pending pending;
            if (row.kind == Kept::Events) {
                pending.batch.arrivalMicros = row.at;
                const QByteArray body = qUncompress(row.body);
                for (qsizetype at = 0; at + qsizetype(EVENT_DATAGRAM_SIZE) <= body.size();
                     at += qsizetype(EVENT_DATAGRAM_SIZE))
                    pending.batch.events.push_back(decodeEvent(body.constData() + at, EVENT_DATAGRAM_SIZE));
                events += pending.batch.events.size();
            } else if (row.kind == Kept::Sessions) {
                pending.sessions = keptChanges(qUncompress(row.body));
            } else if (!endOpenSessions(db, row.kind, row.at)) {
                return false;
            }
            if (!writePending(statements, pending))
                return false;
        }
        query.prepare(QStringLiteral("DELETE FROM backlog WHERE site = ? AND id <= ?"));
        query.addBindValue(m_options.site);
        query.addBindValue(rows.back().id);
        if (!query.exec())
            return failed(query.lastError().databaseText());
        m_keptBackRows -= qint64(rows.size());
        m_keptBackEvents.fetch_sub(std::min(events, m_keptBackEvents.load()), std::memory_order_relaxed);
    }
    return true;
}

qint64 EventStore::keptBackRows(QSqlDatabase& db)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count(*), coalesce(sum(events), 0) FROM backlog WHERE site = ?"));
    query.addBindValue(m_options.site);
    if (!query.exec() || !query.next())
        return 0;
    m_keptBackEvents = query.value(1).toULongLong();
    return query.value(0).toLongLong();
}

bool EventStore::begin(QSqlDatabase& db)
{
    if (!db.transaction()) {
        setCondition(db.lastError().databaseText());
        return false;
    }
    m_transactionSince = monotonicMs();
    return true;
}

bool EventStore::commit(QSqlDatabase& db)
{
    if (m_transactionSince < 0)
        return true;
    m_transactionSince = -1;
    const quint64 written = std::exchange(m_inTransaction, 0);
    if (db.commit()) {
        setCondition({});
        // The checkpoint thread copies the log while commits go on, so under a flood it is never
        // quite done and the log grows. Once the intake is quiet, the writer copies the rest itself,
        // so that the next transaction starts the log anew.
        if (queued() < m_options.directEvents && !isServerLocation(m_options.path) &&
            QFileInfo(m_options.path + QStringLiteral("-wal")).size() > WAL_BOUND_BYTES)
            QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
        return true;
    }
    setCondition(db.lastError().databaseText());
    db.rollback();
    countNotStored(written);
    return false;
}

void EventStore::bindEvent(WriteStatement& statement, int first, qint64 arrivalMicros,
                           const EventRecord& record)
{
    statement.bind(first + 0, arrivalMicros);
    statement.bindUtf8(first + 1, m_siteUtf8);
    statement.bind(first + 2, qint64(record.Header));
    statement.bind(first + 3, qint64(record.EventCode));
    bindField(statement, first + 4, record.Username);
    bindField(statement, first + 5, record.Groupname);
    statement.bind(first + 6, addressNumber(record.IPAddress));
    statement.bind(first + 7, addressNumber(record.ServerIPAddress));
    bindField(statement, first + 8, record.LoginTime);
    bindField(statement, first + 9, record.Date);
    bindField(statement, first + 10, record.EventTime);
    statement.bind(first + 11, m_segment);
}

bool EventStore::writeSession(WriteStatement& starts, WriteStatement& ends, const SessionChange& change)
{
    const OnlineUser& user = change.user;
    const qint64 address = dottedNumber(user.IPAddress), server = dottedNumber(user.ServerIPAddress);
    if (change.starts) {
        starts.bindUtf8(0, m_siteUtf8);
        bindField(starts, 1, user.Username);
        bindField(starts, 2, user.Groupname);
        starts.bind(3, address);
        starts.bind(4, server);
        bindField(starts, 5, user.LoginTime);
        starts.bind(6, change.atMicros);
        starts.bind(7, m_segment);
        return starts.exec();
    }
    ends.bind(0, change.atMicros);
    ends.bindLatin1(1, change.how.constData(), std::size_t(change.how.size()));
    ends.bindUtf8(2, m_siteUtf8);
    ends.bind(3, address);
    ends.bind(4, server);
    bindField(ends, 5, user.Username);
    return ends.exec();
}

bool EventStore::endOpenSessions(QSqlDatabase& db, Kept how, qint64 atMicros)
{
    // A stop ends them at its time; a killed monitor's at its last stored event.
    const bool stopped = how == Kept::Stopped;
    QSqlQuery query(db);
    query.prepare(
        stopped
            ? QStringLiteral("UPDATE sessions SET ended_us = ?, how = 'monitor stopped' WHERE site = ? "
                             "AND ended_us IS NULL")
            : QStringLiteral(
                  "UPDATE sessions SET ended_us = coalesce((SELECT arrival_us FROM events "
                  "WHERE site = ? AND imported = 0 ORDER BY id DESC LIMIT 1), started_us), how = 'monitor "
                  "ended unexpectedly' WHERE site = ? AND ended_us IS NULL"));
    query.addBindValue(stopped ? QVariant(atMicros) : QVariant(m_options.site));
    query.addBindValue(m_options.site);
    return query.exec() || failed(query.lastError().databaseText());
}

bool EventStore::hasRoom()
{
    const qint64 now = monotonicMs();
    if (now < m_nextRoomCheck || isServerLocation(m_options.path)) // a server minds its own disk
        return m_room;
    m_nextRoomCheck = now + ROOM_CHECK_MS;
    struct statvfs fs {
    };
    const QByteArray folder = QFile::encodeName(QFileInfo(m_options.path).absolutePath());
    if (::statvfs(folder.constData(), &fs) != 0)
        return m_room;
    const quint64 free = quint64(fs.f_bavail) * fs.f_frsize;
    const bool room = free >= m_options.minFreeBytes && quint64(fs.f_bavail) * 20 >= quint64(fs.f_blocks);
    if (room != m_room)
        setCondition(room ? QString()
                          : QStringLiteral("paused, less than 1 GiB or 5 % free on its file system"));
    m_room = room;
    return room;
}

void EventStore::prune(QSqlDatabase& db)
{
    const qint64 now = monotonicMs();
    if (m_options.keepDays <= 0 || now < m_nextPrune)
        return;
    const qint64 before = nowMicros() - m_options.keepDays * MICROS_PER_DAY;
    // Rows by id, as they come in time order, and imported events (late, with old times) by their
    // time; a session by its end, and an open one stays. A bounded step however large the table.
    int deleted = 0;
    for (const char* sql :
         {"DELETE FROM events WHERE id IN (SELECT id FROM (SELECT id, arrival_us FROM events "
          "ORDER BY id LIMIT %1) AS oldest WHERE arrival_us < ?)",
          "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE imported = 1 AND arrival_us < ? "
          "ORDER BY arrival_us LIMIT %1)",
          "DELETE FROM alerts WHERE id IN (SELECT id FROM (SELECT id, arrival_us FROM alerts "
          "ORDER BY id LIMIT %1) AS oldest WHERE arrival_us < ?)",
          "DELETE FROM sessions WHERE id IN (SELECT id FROM (SELECT id, ended_us FROM sessions "
          "ORDER BY id LIMIT %1) AS oldest WHERE ended_us < ?)"}) {
        QSqlQuery query(db);
        query.prepare(QString::fromLatin1(sql).arg(PRUNE_STEP_ROWS));
        query.addBindValue(before);
        if (query.exec())
            deleted = std::max(deleted, query.numRowsAffected());
    }
    // A full step: more may wait, and the next comes after the next write.
    m_nextPrune = deleted < PRUNE_STEP_ROWS ? now + PRUNE_PERIOD_MS : 0;
}

bool EventStore::recordRun(QSqlDatabase& db, bool start)
{
    QSqlQuery query(db);
    if (start) {
        query.prepare(QStringLiteral("INSERT INTO monitor_runs(site, started_us) VALUES(?, ?)"));
        query.addBindValue(m_options.site);
    } else {
        query.prepare(QStringLiteral("UPDATE monitor_runs SET stopped_us = ? WHERE id = ?"));
    }
    query.addBindValue(nowMicros());
    if (!start)
        query.addBindValue(m_runId);
    const bool ok = query.exec();
    if (start && ok)
        m_runId = query.lastInsertId().toLongLong();
    return ok;
}

bool EventStore::takeSegment(QSqlDatabase& db)
{
    // The site's newest segment while it has room: a monitor started again and again adds none.
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, events FROM segments WHERE site = ? ORDER BY id DESC LIMIT 1"));
    query.addBindValue(m_options.site);
    if (!query.exec())
        return false;
    if (query.next() && query.value(1).toULongLong() < SEGMENT_EVENTS) {
        m_segment = query.value(0).toLongLong();
        m_segmentEvents = query.value(1).toULongLong();
        return true;
    }
    query.prepare(QStringLiteral("INSERT INTO segments(site, events) VALUES(?, 0)"));
    query.addBindValue(m_options.site);
    if (!query.exec())
        return false;
    m_segment = query.lastInsertId().toLongLong();
    m_segmentEvents = 0;
    return true;
}

bool EventStore::countSegment(QSqlDatabase& db, quint64 written)
{
    if (written == 0)
        return true;
    m_segmentEvents += written;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE segments SET events = ? WHERE id = ?"));
    query.addBindValue(qint64(m_segmentEvents));
    query.addBindValue(m_segment);
    return query.exec() && (m_segmentEvents < SEGMENT_EVENTS || takeSegment(db));
}
