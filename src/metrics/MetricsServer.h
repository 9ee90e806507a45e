// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <memory>

class Monitor;
class MonitorMetrics;
namespace prometheus
{
class Exposer;
}

// Serves the monitor's metrics in the Prometheus text format to GET /metrics, from threads of the
// library's own, so the pipeline's thread never answers a scrape. Every other path or method is
// refused. Destroy it before the monitor.
class MetricsServer
{
public:
    explicit MetricsServer(Monitor& monitor);
    ~MetricsServer();

    // Listens on `address`, IPv4 ADDRESS:PORT: empty, or why it cannot.
    QString listen(const QString& address);

private:
    std::shared_ptr<MonitorMetrics> m_metrics;
    std::unique_ptr<prometheus::Exposer> m_exposer;
};
