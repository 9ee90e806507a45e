// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"

#include "app/AlertForwarding.h"
#include "app/Privileges.h"

#include <QCoreApplication>

#include <cstdio>

namespace
{

constexpr int STATUS_PERIOD_MS = 60000;

IntakeOptions intakeOptions(const AppSettings& settings)
{
    IntakeOptions options;
    options.endpoint = settings.endpoints;
    options.logPath = settings.dialog.userFilePath;
    return options;
}

void printToStandardError(const QString& line)
{
    std::fprintf(stderr, "sorvane: %s\n", line.toLocal8Bit().constData());
}

} // namespace

HeadlessMonitor::HeadlessMonitor(const AppSettings& settings, std::function<void(const QString&)> print)
    : m_print(print ? std::move(print) : printToStandardError), m_forwardOptions(settings.forward),
      m_intake(intakeOptions(settings)), m_rules(settings.alerts), m_inForce(inForceText(settings))
{
    connect(&m_tick, &QTimer::timeout, this, &HeadlessMonitor::onTick);
    m_tick.setInterval(STATUS_PERIOD_MS);
}

HeadlessMonitor::~HeadlessMonitor() = default;

bool HeadlessMonitor::start()
{
    // The one step that may need the port privilege comes first, and then no privilege is kept,
    // before any thread starts: a thread keeps the capabilities it was started with.
    m_intake.bind();
    if (dropCapabilities() != 0)
        m_print(QStringLiteral("could not give up the process's capabilities"));
    m_forwarder = std::make_unique<Forwarder>(m_forwardOptions);
    connect(&m_intake, &EventIntake::eventsArrived, m_forwarder.get(), &Forwarder::forwardEvents);
    connect(&m_intake, &EventIntake::eventsArrived, &m_rules, &AlertRules::takeBatch);
    forwardAlerts(m_rules, *m_forwarder);
    connect(m_forwarder.get(), &Forwarder::statusChanged, this, &HeadlessMonitor::onConditions);
    connect(&m_intake, &EventIntake::eventsArrived, this, &HeadlessMonitor::onConditions);
    m_intake.open();
    m_print(m_inForce);
    printStatus();
    if (!m_intake.isOpen())
        return false;
    m_tick.start();
    return true;
}

void HeadlessMonitor::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_tick.stop();
    m_intake.drain();
    if (m_forwarder)
        m_forwarder->finish(FORWARD_FINISH_MS);
    StatusCounts counts;
    QStringList conditions;
    collect(counts, conditions);
    // A collector that failed matters at the end only for what it missed.
    if (counts.anyMissing())
        printStatus();
    if (m_forwarder)
        for (const QString& line : m_forwarder->notForwardedReport())
            m_print(line);
    QCoreApplication::exit(0);
}

bool HeadlessMonitor::collect(StatusCounts& counts, QStringList& conditions) const
{
    m_intake.addStatus(counts, conditions);
    if (m_forwarder)
        m_forwarder->addStatus(counts, conditions);
    return counts.anyMissing() || !conditions.isEmpty();
}

QString HeadlessMonitor::statusText() const
{
    StatusCounts counts;
    QStringList conditions;
    collect(counts, conditions);
    return statusLineText(m_intake.port(), m_intake.isOpen() ? 0 : m_intake.openError(), counts, conditions);
}

void HeadlessMonitor::printStatus()
{
    StatusCounts counts;
    m_shownConditions.clear();
    collect(counts, m_shownConditions);
    m_print(statusText());
}

void HeadlessMonitor::onTick()
{
    StatusCounts counts;
    QStringList conditions;
    if (collect(counts, conditions))
        printStatus();
}

void HeadlessMonitor::onConditions()
{
    if (m_stopping)
        return;
    // A collector that works again gets one line of its own; any other change, the status line.
    const QStringList collectors = m_forwarder->collectorConditions();
    QStringList expected = m_shownConditions;
    for (qsizetype i = 0; i < collectors.size(); ++i) {
        const QString before = m_shownCollectors.value(i);
        if (collectors[i].isEmpty() && !before.isEmpty()) {
            m_print(QStringLiteral("forwarding to %1 resumed")
                        .arg(m_forwardOptions.targets[std::size_t(i)].url()));
            expected.removeOne(before);
        }
    }
    m_shownCollectors = collectors;
    StatusCounts counts;
    QStringList conditions;
    collect(counts, conditions);
    if (conditions == expected)
        m_shownConditions = conditions;
    else
        printStatus();
}
