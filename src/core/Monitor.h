// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"
#include "core/AlertCommands.h"
#include "events/OnlineUsers.h"
#include "forward/Forwarder.h"
#include "intake/EventIntake.h"
#include "store/EventStore.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

// What the pipeline is built from; no window types.
struct MonitorOptions {
    EndpointSettings endpoints; // the event port and the allowed senders
    QByteArray logPath;         // absolute path of the one log file
    ForwardOptions forward;     // the collectors every event and alert goes on to
    StoreOptions store;         // the event store; no path, no store
    AlertOptions alerts;
    AlertCommandOptions alertCommand;                    // the command each alert runs; no path, none
    int rebindPeriodMs = IntakeOptions().rebindPeriodMs; // shorter only in tests
};

// What the forwarder may still send, and the store commit, after the window closes or a termination
// signal; both in the same time.
constexpr int FORWARD_FINISH_MS = 2000;

// The monitor's pipeline, the same with a window or without: the event intake and its log, the alert
// rules, and the outputs (forwarding), each listening to the intake's batches. The window and the
// headless monitor each build one and then only listen.
class Monitor : public QObject
{
    Q_OBJECT
public:
    // Binds the event port, the one step that may need the port privilege, then gives up every
    // privilege; nothing runs yet. Build it before any thread exists: a thread keeps the
    // capabilities it was started with.
    explicit Monitor(const MonitorOptions& options);
    ~Monitor() override;

    // False when the system refused to take the privileges back.
    bool privilegesDropped() const { return m_privilegesDropped; }
    // Starts the outputs' threads; the intake's datagrams flow once intake().open() is called.
    void startOutputs();
    // The end of a run: logs and hands on every datagram already taken, and gives the collectors, the
    // store and the alert commands that run FORWARD_FINISH_MS to send, commit and end. One line per
    // collector that missed events.
    QStringList finish();

    // The status line's counts and conditions, in its order: the intake's, then each output's.
    void addStatus(StatusReport& report) const;
    // The status line with `report`, which addStatus() filled.
    QString statusLine(const StatusReport& report) const { return m_intake.statusLine(report); }
    // Each collector's condition, empty while it works.
    QStringList collectorConditions() const;
    // Alert command runs dropped, failed or killed so far.
    quint64 alertCommandsFailed() const { return m_commands ? m_commands->failed() : 0; }

    EventIntake& intake() { return m_intake; }
    const EventIntake& intake() const { return m_intake; }
    AlertRules& rules() { return m_rules; }
    // Who is online, from every event taken; its listener hears each change.
    OnlineUsers& onlineUsers() { return m_onlineUsers; }
    // Any thread: `read` sees who is online between two batches; the pipeline waits meanwhile.
    void readOnlineUsers(const std::function<void(const OnlineUserTable&)>& read) const;
    // The outputs once startOutputs() made them; they live as long as the monitor.
    const Forwarder* forwarder() const { return m_forwarder.get(); }
    const EventStore* store() const { return m_store.get(); }

signals:
    // A condition of the log or a count or condition of the outputs changed.
    void statusChanged();

private:
    MonitorOptions m_options;
    EventIntake m_intake;
    OnlineUsers m_onlineUsers;
    mutable std::mutex m_onlineMutex; // held while a batch changes who is online
    AlertRules m_rules;
    std::unique_ptr<Forwarder> m_forwarder;      // made by startOutputs(): its thread starts then
    std::unique_ptr<EventStore> m_store;         // likewise, when there is one
    std::unique_ptr<AlertCommands> m_commands;   // likewise, when there is a command
    qint64 m_batchMicros = 0;                    // the arrival of the batch being applied
    std::vector<SessionChange> m_sessionChanges; // its sessions, for the store
    bool m_privilegesDropped = false;
};
