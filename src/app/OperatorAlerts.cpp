// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/OperatorAlerts.h"

#include "alertswindow/SettingsWindow.h"
#include "app/SettingsFile.h"
#include "mainwindow/MainWindow.h"

#include <QIcon>
#include <QSystemTrayIcon>

OperatorAlerts::OperatorAlerts(MainWindow& dialog, AlertRules& rules, const QString& settingsPath)
    : m_dialog(dialog), m_rules(rules), m_settingsPath(settingsPath),
      m_notifier(rules.options().notificationIntervalMs)
{
    m_notifier.setEnabled(rules.options().notifications);
    connect(&rules, &AlertRules::alertsRaised, &m_window, &AlertsWindow::addAlerts);
    connect(&rules, &AlertRules::alertsRaised, &m_notifier, &DesktopNotifier::notify);
    connect(&m_window, &AlertsWindow::unseenChanged, this, &OperatorAlerts::showUnseen);
    connect(&m_notifier, &DesktopNotifier::availabilityChanged, &dialog, &MainWindow::refreshStatus);
    connect(&dialog, &MainWindow::alertsRequested, &m_window, &AlertsWindow::showInFront);
    connect(&dialog, &MainWindow::settingsRequested, this, &OperatorAlerts::editSettings);
    // The Alerts window goes with the main one, which still ends the program when it closes.
    connect(&dialog, &QDialog::finished, &m_window, &QWidget::close);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        // The window's own icon is set only when it starts; the resource is there already.
        m_tray = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/icons/sorvane-32.xpm")));
        connect(m_tray.get(), &QSystemTrayIcon::activated, &dialog, [&dialog] {
            dialog.showNormal();
            dialog.raise();
            dialog.activateWindow();
        });
        showUnseen(0);
        m_tray->show();
    }
}

OperatorAlerts::~OperatorAlerts() = default;

void OperatorAlerts::showUnseen(int count)
{
    m_dialog.setUnseenAlerts(count);
    if (m_tray) {
        m_tray->setToolTip(count > 0 ? QStringLiteral("Sorvane: %1 unseen alerts").arg(count)
                                     : QStringLiteral("Sorvane"));
    }
}

void OperatorAlerts::addConditions(StatusReport& report) const
{
    const QString condition = m_notifier.condition();
    if (!condition.isEmpty())
        report.addCondition(condition);
}

void OperatorAlerts::editSettings()
{
    SettingsWindow settings(m_rules.options(), &m_dialog);
    if (settings.exec() != QDialog::Accepted)
        return;
    const AlertOptions options = settings.options();
    m_rules.setOptions(options);
    m_notifier.setInterval(options.notificationIntervalMs);
    m_notifier.setEnabled(options.notifications);
    if (!m_settingsPath.isEmpty())
        saveAlertOptions(m_settingsPath, options);
    m_dialog.refreshStatus();
}
