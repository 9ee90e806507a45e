// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Monitor.h"

#include <prometheus/collectable.h>

#include <QObject>

#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// At most this many servers get series of their own; the rest are summed under server="other",
// so no sender can grow a scrape without bound.
constexpr std::size_t MAX_SERVER_LABELS = 1000;

// The monitor's figures as Prometheus series. Events are counted per batch on the pipeline's
// thread; everything else is read from the monitor's own counts when a scrape asks, on the
// scraper's thread.
class MonitorMetrics : public prometheus::Collectable
{
public:
    // Counts from now on; `monitor` outlives it, and its outputs are started.
    explicit MonitorMetrics(Monitor& monitor);

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    // By event code; codes past the table share the last.
    using Kinds = std::array<quint64, EVENT_CODE_COUNT + 1>;
    static constexpr std::size_t OTHER = MAX_SERVER_LABELS;

    void countBatch(const EventBatch& batch);
    void countAlerts(const AlertBatch& alerts);
    // The server's series, or OTHER once every label is taken.
    std::size_t slotOf(quint32 server);
    std::vector<prometheus::MetricFamily> pipelineFamilies() const;

    Monitor& m_monitor;
    QObject m_listening; // ends the connections with the object
    mutable std::mutex m_mutex;
    std::unordered_map<quint32, std::size_t> m_slots;
    std::vector<std::string> m_labels; // by slot; never moved, so views of them stay
    std::unordered_map<std::string_view, std::size_t> m_slotsByText; // as who is online writes them
    std::vector<Kinds> m_events;                                     // by slot, then OTHER
    std::array<quint64, ALERT_RULE_COUNT> m_alerts{};
    // The intake's counts as the last batch left them.
    quint64 m_lostLines = 0;
    quint64 m_dropped = 0;
    quint64 m_refused = 0;
    quint64 m_tooShort = 0;
    quint64 m_commandsFailed = 0; // as the monitor last told
};
