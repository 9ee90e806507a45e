// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"
#include "alertswindow/AlertsWindow.h"
#include "events/StatusReport.h"
#include "notify/DesktopNotifier.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class MainWindow;
class QSystemTrayIcon;

// Everything that tells the operator of alerts beside the main window: the Alerts window and the
// count on the window's button, desktop notifications, the tray icon, and the Settings window that
// changes the rules.
class OperatorAlerts : public QObject
{
    Q_OBJECT
public:
    // `settingsPath`: where the Settings window saves; empty for nowhere.
    OperatorAlerts(MainWindow& dialog, AlertRules& rules, const QString& settingsPath);
    ~OperatorAlerts() override;

    void addConditions(StatusReport& report) const;
    AlertsWindow& window() { return m_window; }
    DesktopNotifier& notifier() { return m_notifier; }
    // The Settings window, run modally; what it says applies at once.
    void editSettings();

private:
    void showUnseen(int count);
    void showProblems(const QStringList& problems);
    void updateTray();

    MainWindow& m_dialog;
    AlertRules& m_rules;
    QString m_settingsPath;
    AlertsWindow m_window;
    DesktopNotifier m_notifier;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    int m_unseen = 0;
    QStringList m_problems;
};
