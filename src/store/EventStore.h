// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventBatch.h"
#include "events/OnlineUserTable.h"
#include "events/StatusReport.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class QSqlDatabase;
class QSqlQuery;
class WriteStatement;

struct StoreOptions {
    QString path;                            // the SQLite file; empty: no store
    int keepDays = 400;                      // rows older go; 0 keeps them for ever
    QString site;                            // the writing monitor's name; empty: the host name
    std::size_t queueCapacity = 262144;      // events and session changes waiting for the writer
    quint64 minFreeBytes = quint64(1) << 30; // below this, or 5 % free, writing pauses
    std::size_t directEvents = 20000;        // more waiting at once is kept back, to be indexed later
    int catchUpMs = 250;                     // time given to kept-back work between takes of the queue
};

// An alert as the store keeps it; the core fills it from the alert rules' alerts.
struct StoredAlert {
    qint64 arrivalMicros = 0;
    QByteArray rule; // the settings key of its rule
    quint32 server = 0;
    quint32 address = 0;
    QByteArray user; // 8-bit, as the firewall sent it
    QByteArray text; // 8-bit too
};

// A session starting or ending: one user's time online, as who is online decides it.
struct SessionChange {
    bool starts = true;
    qint64 atMicros = 0; // the arrival of the event that starts or ends it
    OnlineUser user;
    QByteArray how; // for an end: what ended it
};

// Keeps every event and alert in an SQLite file. The pipeline's thread only queues, up to a bound;
// a writer thread of the store's own, with its own connection, writes batched transactions.
class EventStore : public QObject
{
    Q_OBJECT
public:
    // Opens the file on the writer thread and waits for that: a store that cannot be used says why
    // in its condition from the start, stores nothing and changes no byte of the file.
    explicit EventStore(const StoreOptions& options, QObject* parent = nullptr);
    ~EventStore() override;

    // The pipeline's listener; never waits: what does not fit the queue counts as not stored.
    void storeEvents(const EventBatch& batch);
    void storeAlert(const StoredAlert& alert);
    void storeSessions(std::vector<SessionChange> changes);

    // Asks the writer to commit what waits, record the monitor's stop and close.
    void beginFinish();
    // Waits for that until `deadline`; what is still queued then is not stored. True when all was.
    bool finish(QDeadlineTimer deadline);

    quint64 notStored() const { return m_notStored.load(std::memory_order_relaxed); }
    // Events and session changes waiting for the writer.
    std::size_t queued() const
    {
        const std::lock_guard lock(m_mutex);
        return m_queuedEvents;
    }
    // Events stored but kept back from the tables until the writer catches up.
    quint64 keptBack() const { return m_keptBackEvents.load(std::memory_order_relaxed); }
    // "store PATH: REASON" while the store cannot write, else empty.
    QString condition() const;
    void addStatus(StatusReport& report) const;

signals:
    // A condition started or ended (emitted on the thread that made the store).
    void statusChanged();

private:
    struct Pending {
        EventBatch batch;
        std::vector<StoredAlert> alerts;
        std::vector<SessionChange> sessions;
    };
    struct Statements;
    enum class Kept { Events, Sessions, Stopped, Ended };

    void run();
    void writeLoop(QSqlDatabase& db);
    void checkpoints();
    bool write(QSqlDatabase& db, std::deque<Pending>& work, bool finishing);
    bool writePending(Statements& statements, const Pending& pending);
    bool keepBack(QSqlDatabase& db, Statements& statements, const Pending& pending);
    bool keep(QSqlDatabase& db, Kept kind, qint64 atMicros, const QByteArray& body, quint64 events);
    bool catchUp(QSqlDatabase& db, Statements& statements);
    qint64 keptBackRows(QSqlDatabase& db);
    void endSessions(QSqlDatabase& db, Kept how);
    bool begin(QSqlDatabase& db);
    bool commit(QSqlDatabase& db);
    bool hasRoom();
    void prune(QSqlDatabase& db);
    bool recordRun(QSqlDatabase& db, bool start);
    bool takeSegment(QSqlDatabase& db);
    bool countSegment(QSqlDatabase& db, quint64 written);
    void bindEvent(WriteStatement& statement, int first, qint64 arrivalMicros, const EventRecord& record);
    bool writeSession(WriteStatement& starts, WriteStatement& ends, const SessionChange& change);
    bool endOpenSessions(QSqlDatabase& db, Kept how, qint64 atMicros);
    bool failed(const QString& error);
    void setCondition(const QString& reason);
    void countNotStored(quint64 count) { m_notStored.fetch_add(count, std::memory_order_relaxed); }

    StoreOptions m_options;
    QByteArray m_siteUtf8;
    std::atomic<quint64> m_notStored{0};
    std::atomic<bool> m_abandon{false};
    std::atomic<quint64> m_keptBackEvents{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_checkpointWake;
    bool m_stopCheckpoints = false;
    std::deque<Pending> m_queue;
    std::size_t m_queuedEvents = 0;
    bool m_opening = true;
    bool m_refused = false;
    bool m_finishing = false;
    bool m_done = false;
    QString m_condition;

    // The writer thread's own.
    qint64 m_runId = -1;
    qint64 m_nextRoomCheck = 0; // monotonic ms
    bool m_room = true;
    qint64 m_nextPrune = 0;
    qint64 m_transactionSince = -1; // monotonic ms; -1 while none is open
    quint64 m_inTransaction = 0;    // events written in it
    qint64 m_segment = 0;           // where new rows are indexed
    quint64 m_segmentEvents = 0;
    quint64 m_indexed = 0; // events this write put in the tables, not yet counted in the segment
    qint64 m_keptBackRows = 0;
    QString m_writeError; // the failed statement's
    std::thread m_thread;
};
