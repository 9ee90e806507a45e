// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventBatch.h"
#include "events/StatusReport.h"
#include "forward/ForwardTarget.h"
#include "forward/SyslogMessage.h"

#include <QObject>
#include <QStringList>
#include <QThread>

#include <memory>
#include <vector>

class TargetLink;

// Hands every event on to the syslog collectors, one RFC 5424 message each. The messages are made
// on the caller's thread and queued per collector; a thread of the forwarder's own does all the
// network work, so neither the pipeline nor the window ever waits for a collector.
class Forwarder : public QObject
{
    Q_OBJECT
public:
    explicit Forwarder(const ForwardOptions& options, QObject* parent = nullptr);
    ~Forwarder() override;

    // The pipeline's listener: every event of the batch, stamped with the batch's arrival.
    void forwardEvents(const EventBatch& batch);
    // A message made elsewhere (an alert, say), with its own MSGID, severity, HOSTNAME, text and
    // structured data; TIMESTAMP is now when `fields.timestamp` is empty.
    void forwardMessage(SyslogFields fields);

    // Sends what waits for at most `timeoutMs`, then closes every connection; what could not go is
    // counted. True when everything went. Blocks the caller: for the end only.
    bool finish(int timeoutMs);

    // Summed over the collectors: a message that two of them missed counts twice.
    quint64 notForwarded() const;
    // One "forwarding to URL failed: REASON" per collector that is failing now.
    QStringList conditions() const;
    // Per collector, in the order given: its condition (empty while it works).
    QStringList collectorConditions() const;
    // "N events not forwarded to URL" for each collector that missed any, for the end of the run.
    QStringList notForwardedReport() const;
    // One collector's figures, from any thread.
    struct CollectorCounts {
        QString url;
        quint64 notForwarded;
        std::size_t queued;
    };
    std::vector<CollectorCounts> collectorCounts() const;
    // Adds both to what the status line shows.
    void addStatus(StatusReport& report) const;

signals:
    // The count or a condition changed (emitted on the forwarder's own thread of creation).
    void statusChanged();

private:
    void post(const std::vector<QByteArray>& messages);
    void stop();

    QThread m_thread;
    std::vector<std::unique_ptr<TargetLink>> m_links;
    std::vector<QByteArray> m_messages; // reused for each batch
    qint64 m_stampedMicros = -1;        // the arrival time whose timestamp is kept
    QByteArray m_stamp;
    bool m_stopped = false;
};
