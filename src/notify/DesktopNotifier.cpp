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

// The body as the service shows it: a user name from the network may hold control characters,
// which become blanks, and markup, which a service that reads markup must show as text.
QString shownBody(QString body, bool readsMarkup)
{
    for (QChar& c : body) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    if (readsMarkup) {
        body.replace(u'&', QStringLiteral("&amp;"));
        body.replace(u'<', QStringLiteral("&lt;"));
        body.replace(u'>', QStringLiteral("&gt;"));
    }
    return body;
}

} // namespace

DesktopNotifier::DesktopNotifier(int intervalMs, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_available(m_bus.isConnected()), m_folder(intervalMs)
{
    connect(&m_folder, &AlertFolder::passed, this, [this](const Alert& alert, int folded) {
        send(summaryOf(alert.rule),
             folded == 0 ? bodyOf(alert)
                         : QStringLiteral("and %1 more; the last: %2").arg(folded).arg(bodyOf(alert)));
    });
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
    else
        m_folder.clear();
    emit availabilityChanged();
}

QString DesktopNotifier::condition() const
{
    return m_enabled && !m_available ? QStringLiteral("desktop notifications unavailable") : QString();
}

void DesktopNotifier::notify(const AlertBatch& alerts)
{
    if (m_enabled)
        m_folder.take(alerts);
}

void DesktopNotifier::send(const QString& summary, const QString& body)
{
    // Whether the body is read as markup is asked each time: another service may have taken the
    // name since, and notifications are few.
    call(QStringLiteral("GetCapabilities"), {}, [this, summary, body](const QDBusMessage& reply) {
        const bool markup = reply.arguments().value(0).toStringList().contains(QStringLiteral("body-markup"));
        call(QStringLiteral("Notify"),
             {QStringLiteral("Sorvane"), 0u, QStringLiteral("dialog-warning"), summary,
              shownBody(body, markup), QStringList(), QVariantMap(), -1},
             {});
    });
}

void DesktopNotifier::probe()
{
    if (m_enabled)
        call(QStringLiteral("GetCapabilities"), {}, {});
}

void DesktopNotifier::call(const QString& method, const QVariantList& arguments,
                           std::function<void(const QDBusMessage&)> then)
{
    if (!m_bus.isConnected()) {
        setAvailable(false);
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(SERVICE, PATH, SERVICE, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, then = std::move(then)](QDBusPendingCallWatcher* w) {
                setAvailable(!w->isError());
                if (!w->isError() && then)
                    then(w->reply());
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
