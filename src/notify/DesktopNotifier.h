// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/Alert.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <array>
#include <functional>

// Tells the desktop of alerts through the freedesktop notification service on the session bus: at
// most one notification per rule every interval; what comes meanwhile is folded into one
// notification ("and 12 more") when the interval ends. Every call is asynchronous, so a slow or
// missing service never holds up the caller.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifier(int intervalMs, QDBusConnection bus = QDBusConnection::sessionBus(),
                             QObject* parent = nullptr);

    void setEnabled(bool enabled);
    void setInterval(int intervalMs) { m_intervalMs = intervalMs; }
    void notify(const AlertBatch& alerts);

    // False while there is no session bus or the service did not answer the last call.
    bool available() const { return m_available; }
    // The status line's condition while notifications are wanted and cannot be given.
    QString condition() const;

signals:
    void availabilityChanged();

private:
    struct RuleState {
        QTimer interval;
        int folded = 0; // alerts since the last notification
        Alert last;
    };
    void send(const QString& summary, const QString& body);
    void probe();
    // An asynchronous call of the service; `then` takes a successful reply.
    void call(const QString& method, const QVariantList& arguments,
              std::function<void(const QDBusMessage&)> then);
    void endInterval(RuleState& state, AlertRule rule);
    void setAvailable(bool available);

    QDBusConnection m_bus;
    int m_intervalMs;
    bool m_available;
    bool m_enabled = true;
    std::array<RuleState, ALERT_RULE_COUNT> m_rules;
    QTimer m_retry; // asks again while the service is missing
};
