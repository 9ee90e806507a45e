// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/OperatorAlerts.h"

#include "alertswindow/SettingsWindow.h"
#include "app/Application.h"
#include "app/SettingsFile.h"
#include "mainwindow/MainWindow.h"

#include <QIcon>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>

OperatorAlerts::OperatorAlerts(MainWindow& dialog, AlertRules& rules, const QString& settingsPath)
    : m_dialog(dialog), m_rules(rules), m_settingsPath(settingsPath),
      m_notifier(rules.options().notificationIntervalMs)
{
    m_notifier.setEnabled(rules.options().notifications);
    connect(&rules, &AlertRules::alertsRaised, &m_window, &AlertsWindow::addAlerts);
    connect(&rules, &AlertRules::alertsRaised, &m_notifier, &DesktopNotifier::notify);
    connect(&m_window, &AlertsWindow::unseenChanged, this, &OperatorAlerts::showUnseen);
    connect(&dialog, &MainWindow::problemsChanged, this, &OperatorAlerts::showProblems);
    connect(&m_notifier, &DesktopNotifier::availabilityChanged, &dialog, &MainWindow::refreshStatus);
    connect(&dialog, &MainWindow::alertsRequested, &m_window, &AlertsWindow::showInFront);
    connect(&dialog, &MainWindow::settingsRequested, this, &OperatorAlerts::editSettings);
    // The Alerts window goes with the main one, which still ends the program when it closes.
    connect(&dialog, &QDialog::finished, &m_window, &QWidget::close);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        // The window's own icon is set only when it starts; the resource is there already.
        m_tray = std::make_unique<QSystemTrayIcon>();
        const auto show = [&dialog] {
            dialog.showNormal();
            dialog.raise();
            dialog.activateWindow();
        };
        connect(m_tray.get(), &QSystemTrayIcon::activated, &dialog, show);
        auto* menu = new QMenu(&dialog);
        connect(menu->addAction(QStringLiteral("&Show Sorvane")), &QAction::triggered, &dialog, show);
        connect(menu->addAction(QStringLiteral("&Alerts")), &QAction::triggered, &dialog,
                &MainWindow::alertsRequested);
        connect(menu->addAction(QStringLiteral("&Quit")), &QAction::triggered, &dialog, &MainWindow::reject);
        m_tray->setContextMenu(menu);
        showUnseen(0);
        m_tray->show();
    }
}

OperatorAlerts::~OperatorAlerts() = default;

void OperatorAlerts::showUnseen(int count)
{
    m_dialog.setUnseenAlerts(count);
    m_unseen = count;
    updateTray();
}

void OperatorAlerts::showProblems(const QStringList& problems)
{
    m_problems = problems;
    updateTray();
}

void OperatorAlerts::updateTray()
{
    if (!m_tray)
        return;
    m_tray->setIcon(m_problems.isEmpty() ? QIcon(QStringLiteral(":/icons/sorvane-32.xpm"))
                                         : m_dialog.style()->standardIcon(QStyle::SP_MessageBoxWarning));
    QStringList tip = m_problems;
    if (m_unseen > 0)
        tip << QStringLiteral("%1 unseen alerts").arg(m_unseen);
    m_tray->setToolTip(tip.isEmpty() ? QStringLiteral("Sorvane")
                                     : QStringLiteral("Sorvane: ") + tip.join(QLatin1Char('\n')));
}

void OperatorAlerts::addConditions(StatusReport& report) const
{
    const QString condition = m_notifier.condition();
    if (!condition.isEmpty())
        report.addCondition(condition);
}

void OperatorAlerts::editSettings()
{
    OptionValues values = readOptionValues(m_settingsPath, SettingsWindow::optionKeys());
    const QString rows = QStringLiteral("max-event-rows");
    if (!values.contains(rows))
        values.insert(rows, {QString::number(DialogOptions().maxEventRows)});
    SettingsWindow settings(m_rules.options(), values, checkSettingValues, &m_dialog);
    if (settings.exec() != QDialog::Accepted)
        return;
    const AlertOptions options = settings.options();
    m_rules.setOptions(options);
    m_notifier.setInterval(options.notificationIntervalMs);
    m_notifier.setEnabled(options.notifications);
    // Only what the operator changed is written: the rest stays as the file has it.
    OptionValues changed = settings.optionValues();
    for (auto v = changed.begin(); v != changed.end();)
        v = v.value() == values.value(v.key()) ? changed.erase(v) : std::next(v);
    if (!m_settingsPath.isEmpty()) {
        saveAlertOptions(m_settingsPath, options);
        saveOptionValues(m_settingsPath, changed);
    }
    m_dialog.refreshStatus();
}
