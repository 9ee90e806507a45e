// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/MonitorMetrics.h"

#include "metrics/ProcessMetrics.h"

#include "SorvaneVersion.h"

#include <prometheus/metric_family.h>

#include <algorithm>
#include <numeric>

namespace
{

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {})
{
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.counter.value = metric.gauge.value = value;
    return metric;
}

MetricFamily one(const char* name, const char* help, MetricType type, double value)
{
    return {name, help, type, {sample(value)}};
}

std::string kindName(std::size_t code)
{
    return code < EVENT_CODE_COUNT ? EVENT_CODES[code].keyword : "unknown";
}

} // namespace

MonitorMetrics::MonitorMetrics(Monitor& monitor) : m_monitor(monitor), m_events(MAX_SERVER_LABELS + 1)
{
    m_labels.reserve(MAX_SERVER_LABELS);
    QObject::connect(&monitor.intake(), &EventIntake::eventsArrived, &m_listening,
                     [this](const EventBatch& batch) { countBatch(batch); });
    QObject::connect(&monitor.rules(), &AlertRules::alertsRaised, &m_listening,
                     [this](const AlertBatch& alerts) { countAlerts(alerts); });
    // The count lives on the pipeline's thread: copied when it changes.
    QObject::connect(&monitor, &Monitor::statusChanged, &m_listening, [this] {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_commandsFailed = m_monitor.alertCommandsFailed();
    });
}

std::size_t MonitorMetrics::slotOf(quint32 server)
{
    const auto found = m_slots.find(server);
    if (found != m_slots.end())
        return found->second;
    if (m_labels.size() == MAX_SERVER_LABELS)
        return OTHER;
    const std::size_t slot = m_labels.size();
    m_labels.push_back(FormatIPAddress(server).toStdString());
    m_slots.emplace(server, slot);
    m_slotsByText.emplace(m_labels.back(), slot);
    return slot;
}

void MonitorMetrics::countBatch(const EventBatch& batch)
{
    const EventIntake& intake = m_monitor.intake();
    const std::lock_guard<std::mutex> lock(m_mutex);
    // A batch mostly comes from few servers: look each up once per run of them.
    quint32 server = 0;
    std::size_t slot = SIZE_MAX;
    for (const EventRecord& event : batch.events) {
        if (slot == SIZE_MAX || event.ServerIPAddress != server)
            slot = slotOf(server = event.ServerIPAddress);
        ++m_events[slot][std::min<quint32>(event.EventCode, EVENT_CODE_COUNT)];
    }
    m_lostLines = intake.lostLogLines();
    m_dropped = intake.droppedBySystem();
    m_refused = intake.refusedSenders();
    m_tooShort = intake.tooShort();
}

void MonitorMetrics::countAlerts(const AlertBatch& alerts)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Alert& alert : alerts)
        ++m_alerts[std::size_t(alert.rule)];
}

std::vector<MetricFamily> MonitorMetrics::pipelineFamilies() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t servers = m_labels.size();
    const auto label = [&](std::size_t slot) {
        return slot == OTHER ? std::string("other") : m_labels[slot];
    };
    std::vector<std::size_t> order(servers);
    std::iota(order.begin(), order.end(), 0);
    order.push_back(OTHER);

    MetricFamily events{"sorvane_events_total",
                        "Events taken, by the server that sent them and their kind.",
                        MetricType::Counter,
                        {}};
    for (const std::size_t slot : order) {
        for (std::size_t kind = 0; kind < m_events[slot].size(); ++kind) {
            if (m_events[slot][kind] != 0)
                events.metric.push_back(sample(double(m_events[slot][kind]),
                                               {{"kind", kindName(kind)}, {"server", label(slot)}}));
        }
    }
    std::vector<double> online(servers + 1);
    m_monitor.readOnlineUsers([&](const OnlineUserTable& table) {
        // The pipeline waits meanwhile: one lookup per server, however many users are online.
        for (const auto& [server, users] : table.usersPerServer()) {
            const auto found = m_slotsByText.find(server);
            online[found == m_slotsByText.end() ? servers : found->second] += double(users);
        }
    });
    MetricFamily onlineUsers{
        "sorvane_online_users", "Users online, by the server they logged on at.", MetricType::Gauge, {}};
    for (std::size_t slot = 0; slot < servers; ++slot)
        onlineUsers.metric.push_back(sample(online[slot], {{"server", m_labels[slot]}}));
    if (online[servers] != 0 ||
        std::any_of(m_events[OTHER].begin(), m_events[OTHER].end(), [](quint64 n) { return n != 0; }))
        onlineUsers.metric.push_back(sample(online[servers], {{"server", "other"}}));

    MetricFamily alerts{"sorvane_alerts_total", "Alerts raised, by rule.", MetricType::Counter, {}};
    for (int rule = 0; rule < ALERT_RULE_COUNT; ++rule)
        alerts.metric.push_back(
            sample(double(m_alerts[std::size_t(rule)]), {{"rule", alertRuleKey(AlertRule(rule))}}));
    MetricFamily refused{"sorvane_datagrams_refused_total",
                         "Datagrams refused, by reason.",
                         MetricType::Counter,
                         {sample(double(m_refused), {{"reason", "unlisted_sender"}}),
                          sample(double(m_tooShort), {{"reason", "too_short"}})}};
    return {std::move(events),
            std::move(onlineUsers),
            one("sorvane_log_lines_lost_total", "Log lines that could not be written.", MetricType::Counter,
                double(m_lostLines)),
            one("sorvane_datagrams_dropped_total",
                "Datagrams the system dropped for want of buffer space before the monitor took them.",
                MetricType::Counter, double(m_dropped)),
            std::move(refused),
            std::move(alerts),
            one("sorvane_alert_commands_failed_total", "Alert command runs dropped, failed or killed.",
                MetricType::Counter, double(m_commandsFailed))};
}

std::vector<MetricFamily> MonitorMetrics::Collect() const
{
    std::vector<MetricFamily> families = pipelineFamilies();
    MetricFamily notForwarded{"sorvane_events_not_forwarded_total",
                              "Events and alerts that did not reach a collector.",
                              MetricType::Counter,
                              {}};
    MetricFamily queued{
        "sorvane_forward_queue_length", "Messages waiting for a collector.", MetricType::Gauge, {}};
    if (const Forwarder* forwarder = m_monitor.forwarder()) {
        for (const Forwarder::CollectorCounts& collector : forwarder->collectorCounts()) {
            const std::string url = collector.url.toStdString();
            notForwarded.metric.push_back(sample(double(collector.notForwarded), {{"collector", url}}));
            queued.metric.push_back(sample(double(collector.queued), {{"collector", url}}));
        }
    }
    families.push_back(std::move(notForwarded));
    families.push_back(std::move(queued));
    const EventStore* store = m_monitor.store();
    families.push_back(one("sorvane_events_not_stored_total", "Events that did not reach the event store.",
                           MetricType::Counter, store ? double(store->notStored()) : 0));
    families.push_back({"sorvane_build_info",
                        "The monitor's version.",
                        MetricType::Gauge,
                        {sample(1, {{"version", SORVANE_VERSION}})}});
    for (MetricFamily& family : processFamilies())
        families.push_back(std::move(family));
    return families;
}
