// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Monitor.h"

#include "core/AlertForwarding.h"
#include "core/Privileges.h"

#include <QDeadlineTimer>

namespace
{

IntakeOptions intakeOptions(const MonitorOptions& options)
{
    IntakeOptions intake;
    intake.endpoint = options.endpoints;
    intake.logPath = options.logPath;
    intake.rebindPeriodMs = options.rebindPeriodMs;
    return intake;
}

} // namespace

Monitor::Monitor(const MonitorOptions& options)
    : m_options(options), m_intake(intakeOptions(options)), m_rules(options.alerts)
{
    m_intake.bind();
    m_privilegesDropped = dropCapabilities() == 0;
    // Who is online first: a listener of the batch finds the table as the batch left it.
    connect(&m_intake, &EventIntake::eventsArrived, this, [this](const EventBatch& batch) {
        m_batchMicros = batch.arrivalMicros;
        const std::lock_guard<std::mutex> lock(m_onlineMutex);
        m_onlineUsers.apply(batch);
    });
    connect(&m_intake, &EventIntake::eventsArrived, &m_rules, &AlertRules::takeBatch);
    connect(&m_intake, &EventIntake::stateChanged, this, &Monitor::statusChanged);
}

Monitor::~Monitor() = default;

void Monitor::startOutputs()
{
    if (m_forwarder)
        return;
    m_forwarder = std::make_unique<Forwarder>(m_options.forward);
    connect(&m_intake, &EventIntake::eventsArrived, m_forwarder.get(), &Forwarder::forwardEvents);
    forwardAlerts(m_rules, *m_forwarder);
    connect(m_forwarder.get(), &Forwarder::statusChanged, this, &Monitor::statusChanged);
    if (!m_options.alertCommand.path.isEmpty()) {
        m_commands =
            std::make_unique<AlertCommands>(m_options.alertCommand, m_options.alerts.notificationIntervalMs);
        // Folded over the notifications' interval, which the Settings window may change.
        connect(&m_rules, &AlertRules::alertsRaised, m_commands.get(), [this](const AlertBatch& alerts) {
            m_commands->take(alerts, m_rules.options().notificationIntervalMs);
        });
        connect(m_commands.get(), &AlertCommands::failedChanged, this, &Monitor::statusChanged);
    }
    if (m_options.store.path.isEmpty())
        return;
    m_store = std::make_unique<EventStore>(m_options.store);
    // The sessions that who is online starts and ends go with their batch.
    m_onlineUsers.sessions.starts = [this](const OnlineUser& user) {
        m_sessionChanges.push_back({true, m_batchMicros, user, {}});
    };
    m_onlineUsers.sessions.ends = [this](const OnlineUser& user, const EventRecord& cause) {
        m_sessionChanges.push_back(
            {false, m_batchMicros, user,
             cause.EventCode == LoggedOn ? "replaced" : eventKeyword(cause.EventCode)});
    };
    connect(&m_intake, &EventIntake::eventsArrived, m_store.get(), [this](const EventBatch& batch) {
        m_store->storeEvents(batch);
        if (!m_sessionChanges.empty())
            m_store->storeSessions(std::exchange(m_sessionChanges, {}));
    });
    storeAlerts(m_rules, *m_store);
    connect(m_store.get(), &EventStore::statusChanged, this, &Monitor::statusChanged);
}

QStringList Monitor::finish()
{
    m_intake.drain();
    if (!m_forwarder)
        return {};
    // The store commits while the collectors send: one time for both.
    const QDeadlineTimer deadline(FORWARD_FINISH_MS);
    if (m_store)
        m_store->beginFinish();
    m_forwarder->finish(FORWARD_FINISH_MS);
    // The commands have run all the while: they end by the same time.
    if (m_commands)
        m_commands->finish(deadline);
    if (m_store)
        m_store->finish(deadline);
    return m_forwarder->notForwardedReport();
}

void Monitor::addStatus(StatusReport& report) const
{
    m_intake.addStatus(report);
    if (m_forwarder)
        m_forwarder->addStatus(report);
    if (m_store)
        m_store->addStatus(report);
    if (m_commands)
        m_commands->addStatus(report);
}

void Monitor::readOnlineUsers(const std::function<void(const OnlineUserTable&)>& read) const
{
    const std::lock_guard<std::mutex> lock(m_onlineMutex);
    read(m_onlineUsers.table());
}

QStringList Monitor::collectorConditions() const
{
    return m_forwarder ? m_forwarder->collectorConditions() : QStringList();
}
