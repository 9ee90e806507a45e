// SPDX-License-Identifier: GPL-3.0-or-later
#include "notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QVariantMap>

namespace
{

const QString SERVICE = QStringLiteral("org.freedesktop.Notifications");
const QString PATH = QStringLiteral("/org/freedesktop/Notifications");
constexpr int RETRY_MS = 30000;

QString summaryOf(AlertRule rule)
{
    return QStringLiteral("Sorvane: ") + QString::fromLatin1(alertWhat(rule));
}

QString bodyOf(const Alert& alert)
{
    return QString::fromLatin1(alertWho(alert));
}

} // namespace

DesktopNotifier::DesktopNotifier(int intervalMs, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_intervalMs(intervalMs), m_available(m_bus.isConnected())
{
    for (std::size_t r = 0; r < m_rules.size(); ++r) {
        RuleState& state = m_rules[r];
        state.interval.setSingleShot(true);
        connect(&state.interval, &QTimer::timeout, this,
                [this, &state, r] { endInterval(state, AlertRule(int(r))); });
    }
    m_retry.setInterval(RETRY_MS);
    connect(&m_retry, &QTimer::timeout, this, &DesktopNotifier::probe);
    probe();
}

void DesktopNotifier::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (enabled)
        probe();
    emit availabilityChanged();
}

QString DesktopNotifier::condition() const
{
    return m_enabled && !m_available ? QStringLiteral("desktop notifications unavailable") : QString();
}

void DesktopNotifier::notify(const AlertBatch& alerts)
{
    if (!m_enabled)
        return;
    for (const Alert& alert : alerts) {
        RuleState& state = m_rules[static_cast<std::size_t>(alert.rule)];
        if (state.interval.isActive()) {
            ++state.folded;
            state.last = alert;
            continue;
        }
        send(summaryOf(alert.rule), bodyOf(alert));
        state.interval.start(m_intervalMs);
    }
}

void DesktopNotifier::endInterval(RuleState& state, AlertRule rule)
{
    if (state.folded == 0)
        return;
    if (m_enabled) {
        send(summaryOf(rule),
             QStringLiteral("and %1 more; the last: %2").arg(state.folded).arg(bodyOf(state.last)));
        state.interval.start(m_intervalMs);
    }
    state.folded = 0;
}

void DesktopNotifier::send(const QString& summary, const QString& body)
{
    if (!m_bus.isConnected()) {
        setAvailable(false);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(SERVICE, PATH, SERVICE, QStringLiteral("Notify"));
    call << QStringLiteral("Sorvane") << 0u << QStringLiteral("dialog-warning") << summary << body
         << QStringList() << QVariantMap() << -1;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        setAvailable(!w->isError());
        w->deleteLater();
    });
}

void DesktopNotifier::probe()
{
    if (!m_enabled)
        return;
    if (!m_bus.isConnected()) {
        setAvailable(false);
        return;
    }
    const QDBusMessage call =
        QDBusMessage::createMethodCall(SERVICE, PATH, SERVICE, QStringLiteral("GetServerInformation"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        setAvailable(!w->isError());
        w->deleteLater();
    });
}

void DesktopNotifier::setAvailable(bool available)
{
    // No bus cannot come back; a missing service may start later.
    if (!available && m_bus.isConnected() && !m_retry.isActive())
        m_retry.start();
    if (available)
        m_retry.stop();
    if (available == m_available)
        return;
    m_available = available;
    emit availabilityChanged();
}
