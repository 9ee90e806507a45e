// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "store/StoreReader.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

// What the Sessions window shows of an answer.
enum class ResultKind { Sessions, Events, Totals };

// The titles of the columns of each kind of answer.
QStringList resultTitles(ResultKind kind);

// One question to the store, asked on a thread of its own with a reader of its own, so the window
// never waits for it. The rows come back, as cells for ResultTable, on the thread that made it; at
// the end `ended` is called, and its owner deletes the run (later: not from within that call).
class QueryRun : public QObject
{
    Q_OBJECT
public:
    using RowsTaken = std::function<void(std::vector<QByteArray> rows)>;
    using Ended = std::function<void(const QString& error)>;

    QueryRun(const QString& location, const StoreQuery& query, ResultKind kind, qint64 nowMicros,
             RowsTaken rows, Ended ended, QObject* parent);
    // Stops the question at its next chunk and waits for the thread.
    ~QueryRun() override;

    // The thread stops at its next chunk; no rows or end are handed on after this, and the run
    // deletes itself once its thread is through.
    void cancel() { m_cancelled.store(true); }

private:
    void run(const QString& location, const StoreQuery& query, ResultKind kind, qint64 nowMicros);
    bool hand(std::vector<QByteArray> rows);

    RowsTaken m_rows;
    Ended m_ended;
    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};
