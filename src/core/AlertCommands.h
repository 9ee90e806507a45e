// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertFolder.h"
#include "events/StatusReport.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class QProcess;

// The command each alert runs, and its bounds.
struct AlertCommandOptions {
    QString path;            // absolute and executable; empty for none
    int killAfterMs = 10000; // a run still going then has its process group killed
    int mostRunning = 4;     // runs at once
    int mostWaiting = 1000;  // runs waiting for one of those; more are dropped
};

inline constexpr StatusClause ALERT_COMMANDS_FAILED{"alert command failed", "alert commands failed"};

// Runs the operator's command for each alert, folded per rule as desktop notifications are: no
// shell, a process group of its own, the alert in its environment and its text on standard input.
// Nothing here waits for a run, so intake and the window never do.
class AlertCommands : public QObject
{
    Q_OBJECT
public:
    explicit AlertCommands(const AlertCommandOptions& options, int foldIntervalMs, QObject* parent = nullptr);
    ~AlertCommands() override;

    void take(const AlertBatch& alerts, int foldIntervalMs);
    // The end: what waits is dropped; what runs has until `deadline`, then its group is killed.
    void finish(QDeadlineTimer deadline);

    // Runs dropped, that could not start, ended with a failure, or were killed.
    quint64 failed() const { return m_failed; }
    void addStatus(StatusReport& report) const { report.addCount(m_failed, ALERT_COMMANDS_FAILED); }

signals:
    void failedChanged();

private:
    struct Run {
        Alert alert;
        int count;
    };
    void enqueue(const Alert& alert, int folded);
    void start(const Run& run);
    void ended(QProcess* process, bool ok);
    void addFailed(quint64 count);

    AlertCommandOptions m_options;
    AlertFolder m_folder;
    QProcessEnvironment m_environment; // the monitor's own, which each run's adds to
    std::deque<Run> m_waiting;
    std::vector<QProcess*> m_running; // children of this object
    bool m_finishing = false;
    quint64 m_failed = 0;
};
