// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Headless.h"

#include <QCoreApplication>

#include <cstdio>

namespace
{

constexpr int STATUS_PERIOD_MS = 60000;

void printToStandardError(const QString& line)
{
    std::fprintf(stderr, "sorvane: %s\n", line.toLocal8Bit().constData());
}

} // namespace

HeadlessMonitor::HeadlessMonitor(const AppSettings& settings, std::function<void(const QString&)> print)
    : m_print(print ? std::move(print) : printToStandardError), m_options(monitorOptions(settings)),
      m_inForce(inForceText(settings)), m_metricsAddress(settings.metrics)
{
    connect(&m_tick, &QTimer::timeout, this, &HeadlessMonitor::onTick);
    m_tick.setInterval(STATUS_PERIOD_MS);
}

HeadlessMonitor::~HeadlessMonitor() = default;

bool HeadlessMonitor::start()
{
    m_monitor = std::make_unique<Monitor>(m_options);
    if (!m_monitor->privilegesDropped())
        m_print(QStringLiteral("could not give up the process's capabilities"));
    m_monitor->startOutputs();
    if (!m_metricsAddress.isEmpty()) {
        m_metrics = std::make_unique<MetricsServer>(*m_monitor);
        const QString problem = m_metrics->listen(m_metricsAddress);
        if (!problem.isEmpty()) {
            m_print(problem);
            return false;
        }
    }
    connect(m_monitor.get(), &Monitor::statusChanged, this, &HeadlessMonitor::onConditions);
    m_monitor->intake().open();
    m_print(m_inForce);
    printStatus();
    if (!m_monitor->intake().isOpen())
        return false;
    m_tick.start();
    return true;
}

void HeadlessMonitor::stop()
{
    if (m_stopping || !m_monitor)
        return;
    m_stopping = true;
    m_tick.stop();
    const QStringList missed = m_monitor->finish();
    // A collector that failed matters at the end only for what it missed.
    if (report().anyMissing())
        printStatus();
    for (const QString& line : missed)
        m_print(line);
    QCoreApplication::exit(0);
}

StatusReport HeadlessMonitor::report() const
{
    StatusReport report;
    if (m_monitor)
        m_monitor->addStatus(report);
    return report;
}

QString HeadlessMonitor::statusText() const
{
    return m_monitor ? m_monitor->statusLine(report()) : QString();
}

void HeadlessMonitor::printStatus()
{
    const StatusReport now = report();
    m_shownConditions = now.conditions();
    m_print(m_monitor->statusLine(now));
}

void HeadlessMonitor::onTick()
{
    const StatusReport now = report();
    if (now.anyMissing() || !now.conditions().isEmpty())
        printStatus();
}

void HeadlessMonitor::onConditions()
{
    if (m_stopping)
        return;
    // A collector that works again gets one line of its own; any other change, the status line.
    const QStringList collectors = m_monitor->collectorConditions();
    QStringList expected = m_shownConditions;
    for (qsizetype i = 0; i < collectors.size(); ++i) {
        const QString before = m_shownCollectors.value(i);
        if (collectors[i].isEmpty() && !before.isEmpty()) {
            m_print(QStringLiteral("forwarding to %1 resumed")
                        .arg(m_options.forward.targets[std::size_t(i)].url()));
            expected.removeOne(before);
        }
    }
    m_shownCollectors = collectors;
    const QStringList conditions = report().conditions();
    if (conditions == expected)
        m_shownConditions = conditions;
    else
        printStatus();
}
