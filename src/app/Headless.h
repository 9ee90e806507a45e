// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/Application.h"
#include "core/Monitor.h"
#include "metrics/MetricsServer.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

// The monitor without a window, for a server with no display: the event pipeline, its log and the
// forwarder in a core application, and no discovery. Its status lines go to standard error: the
// status at start, then every `statusPeriodMs` while a counter is not zero or a condition lasts,
// and at once when a collector starts failing or fails otherwise; one line when it works again.
class HeadlessMonitor : public QObject
{
    Q_OBJECT
public:
    explicit HeadlessMonitor(const AppSettings& settings, std::function<void(const QString&)> print = {});
    ~HeadlessMonitor() override;

    // Binds the event socket, gives up every privilege, then starts forwarding and taking events and
    // prints the first status line; false when no event can arrive or the metrics cannot be served.
    bool start();
    // Writes and forwards what has arrived, gives the forwarder FORWARD_FINISH_MS to send what
    // waits, prints the status if anything went missing, and ends the event loop with 0.
    void stop();

    QString statusText() const;
    void setStatusPeriod(int milliseconds) { m_tick.setInterval(milliseconds); }

private:
    void printStatus();
    void onTick();
    // Prints the status when a condition begins or ends.
    void onConditions();
    // The counts and conditions of the status line.
    StatusReport report() const;

    std::function<void(const QString&)> m_print;
    MonitorOptions m_options;
    QString m_inForce;                  // printed at start
    std::unique_ptr<Monitor> m_monitor; // made by start()
    QString m_metricsAddress;
    std::unique_ptr<MetricsServer> m_metrics; // gone before the monitor it reads
    QTimer m_tick;
    QStringList m_shownConditions;
    QStringList m_shownCollectors; // each collector's condition as last told
    bool m_stopping = false;
};
