// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventBatch.h"
#include "events/EventRecord.h"
#include "events/StatusReport.h"
#include "net/Endpoint.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <vector>

struct IntakeOptions {
    EndpointSettings endpoint; // the event port
    QByteArray logPath;        // absolute path of the one log file
    int batchLimit = 1024;     // datagrams handled per notification before the listeners run
    int rebindPeriodMs = 5000; // how often a port that could not be bound is tried again
};

// The event pipeline: takes the event socket's datagrams in arrival order, decodes them, appends
// their log lines (one open, write and close per batch), counts what was lost, and then hands the
// batch to whoever listens. The log line is always written before any listener runs.
class EventIntake : public QObject
{
    Q_OBJECT
public:
    explicit EventIntake(const IntakeOptions& options, QObject* parent = nullptr);
    ~EventIntake() override;

    // Binds the event socket: 0, or errno. What arrives waits in the system until open().
    int bind();
    // Binds the event socket unless bind() was called, checks that the log could be written, and
    // starts taking datagrams: 0, or errno of the failed step. A failed bind is tried again every
    // period until it works (the port is freed); the first reason stands until then.
    int open();
    bool isOpen() const { return m_socket.isOpen(); }
    // Whether datagrams are taken: open() succeeded.
    bool isTaking() const { return m_socket.queue() != nullptr; }
    int openError() const { return m_openError; }
    quint16 port() const { return m_options.endpoint.eventPort; }

    // Reads, decodes and queues the log line of one datagram: 0, or -1 with `errorCode` set (EPERM
    // for a sender outside the allowed list, EBADMSG for a datagram too short to hold the event code).
    int ReceiveEvent(EventRecord& record, int& errorCode);
    // Handles what waits, up to the batch limit; the socket's notification calls it. Returns how
    // many datagrams it took, refused ones included.
    int takeBatch();
    // For the end of a run: takes no more datagrams from the system, then handles every one already
    // taken and those the system holds at this moment.
    void drain();

    // The intake's counters (datagrams refused for their sender or their size are neither logged nor
    // handed on), and while the log cannot be written, the path and the reason.
    void addStatus(StatusReport& report) const;
    // The status line: whether events arrive and on which port, or why not; then `report`.
    QString statusLine(const StatusReport& report) const;
    quint64 droppedBySystem() const;
    quint64 lostLogLines() const { return m_lostLogLines; }
    quint64 refusedSenders() const { return m_refused; }
    quint64 tooShort() const { return m_tooShort; }

signals:
    // One batch, in arrival order, after its log lines were written.
    void eventsArrived(const EventBatch& batch);
    // Datagrams are taken at last, or the log became writable again or could not be written.
    void stateChanged();

private:
    void writeLog();
    void startTaking();
    void retryBind();

    IntakeOptions m_options;
    UdpSocket m_socket;
    int m_openError = 0;
    bool m_bindTried = false;
    EventBatch m_batch;
    QByteArray m_pendingLog; // lines of the batch being handled, not yet written
    quint64 m_pendingLines = 0;
    quint64 m_lostLogLines = 0;
    quint64 m_refused = 0;
    quint64 m_tooShort = 0;
    int m_logError = 0; // of the start's check or the last write: 0 while the log can be written
    QElapsedTimer m_monotonic;
    QTimer m_rebind;
};
