// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertFolder.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

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
    void setInterval(int intervalMs) { m_folder.setInterval(intervalMs); }
    void notify(const AlertBatch& alerts);

    // False while there is no session bus or the service did not answer the last call.
    bool available() const { return m_available; }
    // The status line's condition while notifications are wanted and cannot be given.
    QString condition() const;

signals:
    void availabilityChanged();

private:
    void send(const QString& summary, const QString& body);
    void probe();
    // An asynchronous call of the service; `then` takes a successful reply.
    void call(const QString& method, const QVariantList& arguments,
              std::function<void(const QDBusMessage&)> then);
    void setAvailable(bool available);

    QDBusConnection m_bus;
    bool m_available;
    bool m_enabled = true;
    AlertFolder m_folder;
    QTimer m_retry; // asks again while the service is missing
};
