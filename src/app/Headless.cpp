// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"

#include "app/AlertForwarding.h"
#include "app/Privileges.h"
#include "net/DatagramQueue.h"

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
      m_intake(intakeOptions(settings)), m_rules(settings.alerts)
{
    connect(&m_intake, &EventIntake::eventsArrived, this,
            [this](const EventBatch& batch) { m_lastBatchSize = batch.events.size(); });
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
    connect(m_forwarder.get(), &Forwarder::statusChanged, this, &HeadlessMonitor::onForwarderStatus);
    m_intake.open();
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
    // What the reader took from the kernel is logged and forwarded; a flood that goes on is cut off
    // once that much more has come.
    const std::size_t rounds = DatagramQueue::CAPACITY / std::size_t(IntakeOptions().batchLimit) + 2;
    for (std::size_t i = 0; i < rounds; ++i) {
        m_lastBatchSize = 0;
        m_intake.takeBatch();
        if (m_lastBatchSize == 0)
            break;
    }
    if (m_forwarder)
        m_forwarder->finish(FORWARD_FINISH_MS);
    StatusCounts counts;
    QStringList conditions;
    collect(counts, conditions);
    // A collector that failed matters at the end only for what it missed.
    if (counts.notForwarded + counts.lostLogLines + counts.droppedBySystem + counts.refusedSenders != 0)
        printStatus();
    if (m_forwarder)
        for (const QString& line : m_forwarder->notForwardedReport())
            m_print(line);
    QCoreApplication::exit(0);
}

bool HeadlessMonitor::collect(StatusCounts& counts, QStringList& conditions) const
{
    counts.lostLogLines = m_intake.lostLogLines();
    counts.droppedBySystem = m_intake.droppedBySystem();
    counts.refusedSenders = m_intake.refusedSenders();
    if (m_forwarder)
        m_forwarder->addStatus(counts, conditions);
    return counts.lostLogLines != 0 || counts.droppedBySystem != 0 || counts.refusedSenders != 0 ||
           counts.notForwarded != 0 || !conditions.isEmpty();
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
    m_print(statusText());
}

void HeadlessMonitor::onTick()
{
    StatusCounts counts;
    QStringList conditions;
    if (collect(counts, conditions))
        printStatus();
}

void HeadlessMonitor::onForwarderStatus()
{
    const QStringList conditions = m_forwarder->collectorConditions();
    if (conditions == m_shownConditions || m_stopping)
        return;
    // A collector that works again gets one line of its own; any other change, the status line.
    bool changed = false;
    for (qsizetype i = 0; i < conditions.size(); ++i) {
        if (conditions[i] == m_shownConditions.value(i))
            continue;
        if (conditions[i].isEmpty())
            m_print(QStringLiteral("forwarding to %1 resumed")
                        .arg(m_forwardOptions.targets[std::size_t(i)].url()));
        else
            changed = true;
    }
    m_shownConditions = conditions;
    if (changed)
        printStatus();
}
