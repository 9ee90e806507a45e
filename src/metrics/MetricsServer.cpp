// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/MetricsServer.h"

#include "metrics/MonitorMetrics.h"

#include <CivetServer.h>
#include <prometheus/exposer.h>

#include <cstring>

namespace
{

const char METRICS_PATH[] = "/metrics";

// The first thing the web server said while it started: why it could not.
thread_local std::string* t_startMessage = nullptr;

int keepStartMessage(const mg_connection*, const char* message)
{
    if (!t_startMessage)
        return 0;
    if (t_startMessage->empty())
        *t_startMessage = message;
    return 1;
}

// The exposer's handler takes any method it does not know, and every path under its own: only
// GET of the path itself goes on to it.
int refuseOthers(mg_connection* connection)
{
    const mg_request_info* request = mg_get_request_info(connection);
    if (std::strcmp(request->local_uri, METRICS_PATH) != 0)
        return mg_send_http_error(connection, 404, "Not found: only %s is served\n", METRICS_PATH), 404;
    if (std::strcmp(request->request_method, "GET") != 0)
        return mg_send_http_error(connection, 405, "Method not allowed: only GET\n"), 405;
    return 0;
}

} // namespace

MetricsServer::MetricsServer(Monitor& monitor) : m_metrics(std::make_shared<MonitorMetrics>(monitor)) {}

MetricsServer::~MetricsServer() = default;

QString MetricsServer::listen(const QString& address)
{
    CivetCallbacks callbacks;
    callbacks.begin_request = refuseOthers;
    callbacks.log_message = keepStartMessage;
    std::string message;
    t_startMessage = &message;
    try {
        m_exposer = std::make_unique<prometheus::Exposer>(address.toStdString(), 2, &callbacks);
    } catch (const std::exception& e) {
        if (message.empty())
            message = e.what();
    }
    t_startMessage = nullptr;
    if (!m_exposer)
        return QStringLiteral("metrics on %1: %2").arg(address, QString::fromStdString(message).trimmed());
    m_exposer->RegisterCollectable(m_metrics, METRICS_PATH);
    return {};
}
