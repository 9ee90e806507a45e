// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/Forwarder.h"

#include "forward/DatagramLink.h"
#include "forward/StreamLink.h"

#include <QDeadlineTimer>

#include <chrono>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

// Weight about a tenth of a normal thread's when the processors are all busy; the full share
// when they are not.
constexpr int YIELDING_NICENESS = 10;

} // namespace

Forwarder::Forwarder(const ForwardOptions& options, QObject* parent) : QObject(parent)
{
    m_thread.setObjectName(QStringLiteral("forwarder"));
    for (const ForwardTarget& target : options.targets) {
        std::unique_ptr<TargetLink> link;
        if (target.transport == Transport::Udp)
            link = std::make_unique<DatagramLink>(target, options.queueCapacity);
        else
            link = std::make_unique<StreamLink>(target, options.queueCapacity, options.tls);
        link->moveToThread(&m_thread);
        connect(link.get(), &TargetLink::changed, this, &Forwarder::statusChanged);
        m_links.push_back(std::move(link));
    }
    if (m_links.empty())
        return;
    if (options.yieldToWindow)
        connect(
            &m_thread, &QThread::started, this,
            [] { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), YIELDING_NICENESS); },
            Qt::DirectConnection);
    m_thread.start();
    for (const auto& link : m_links)
        QMetaObject::invokeMethod(link.get(), &TargetLink::start, Qt::QueuedConnection);
}

Forwarder::~Forwarder()
{
    stop();
}

void Forwarder::forwardEvents(const EventBatch& batch)
{
    if (m_links.empty() || batch.events.empty())
        return;
    if (batch.arrivalMicros / 1000000 != m_stampedMicros / 1000000 || m_stampedMicros < 0)
        m_stamp = rfc3339Timestamp(batch.arrivalMicros);
    else
        // Same second, same offset: only the fraction differs.
        m_stamp.replace(20, 6, QByteArray::number(batch.arrivalMicros % 1000000).rightJustified(6, '0'));
    m_stampedMicros = batch.arrivalMicros;
    m_messages.clear();
    m_messages.reserve(batch.events.size());
    for (const EventRecord& record : batch.events)
        m_messages.push_back(eventSyslogMessage(record, m_stamp));
    post(m_messages);
}

void Forwarder::forwardMessage(SyslogFields fields)
{
    if (m_links.empty())
        return;
    if (fields.timestamp.isEmpty())
        fields.timestamp = rfc3339Timestamp(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    post({syslogMessage(fields)});
}

void Forwarder::post(const std::vector<QByteArray>& messages)
{
    if (m_stopped)
        return;
    for (const auto& link : m_links)
        link->post(messages);
}

bool Forwarder::finish(int timeoutMs)
{
    if (m_links.empty() || m_stopped)
        return true;
    const QDeadlineTimer deadline(timeoutMs);
    for (const auto& link : m_links)
        QMetaObject::invokeMethod(link.get(), &TargetLink::finish, Qt::QueuedConnection);
    bool drained = false;
    while (!drained && !deadline.hasExpired()) {
        QThread::msleep(5);
        drained =
            std::all_of(m_links.begin(), m_links.end(), [](const auto& link) { return link->drained(); });
    }
    stop();
    return drained;
}

void Forwarder::stop()
{
    if (m_stopped || m_links.empty())
        return;
    m_stopped = true;
    for (const auto& link : m_links)
        QMetaObject::invokeMethod(link.get(), &TargetLink::shutdown, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

quint64 Forwarder::notForwarded() const
{
    quint64 total = 0;
    for (const auto& link : m_links)
        total += link->notForwarded();
    return total;
}

QStringList Forwarder::conditions() const
{
    QStringList list = collectorConditions();
    list.removeAll(QString());
    return list;
}

QStringList Forwarder::collectorConditions() const
{
    QStringList list;
    for (const auto& link : m_links)
        list << link->condition();
    return list;
}

QStringList Forwarder::notForwardedReport() const
{
    QStringList lines;
    for (const auto& link : m_links) {
        if (const quint64 count = link->notForwarded())
            lines << QStringLiteral("%1 %2 not forwarded to %3")
                         .arg(count)
                         .arg(count == 1 ? QStringLiteral("event") : QStringLiteral("events"),
                              link->target().url());
    }
    return lines;
}

std::vector<Forwarder::CollectorCounts> Forwarder::collectorCounts() const
{
    std::vector<CollectorCounts> counts;
    for (const auto& link : m_links)
        counts.push_back({link->target().url(), link->notForwarded(), link->queued()});
    return counts;
}

void Forwarder::addStatus(StatusReport& report) const
{
    report.addCount(notForwarded(), {"event not forwarded", "events not forwarded"});
    report.addConditions(conditions());
}
