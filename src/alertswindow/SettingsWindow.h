// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"

#include <QDialog>
#include <QMap>
#include <QStringList>

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTabWidget;

// Option values by option name, as the settings file holds them.
using OptionValues = QMap<QString, QStringList>;
// The complaint about `values`, naming the field by its label (`labels` by option name), and the
// option it concerns in `key`; empty when all would do.
using OptionCheck =
    std::function<QString(const OptionValues& values, const QMap<QString, QString>& labels, QString& key)>;

// The "Settings" window. Alerts: each alert rule on or off, the guessing thresholds, and the
// desktop notifications. Monitor: the options the monitor is built from at start (allowed
// senders, forwarding, the row cap), which OK checks with `check` before the window closes.
class SettingsWindow : public QDialog
{
    Q_OBJECT
public:
    SettingsWindow(const AlertOptions& options, const OptionValues& values, OptionCheck check,
                   QWidget* parent = nullptr);

    // The option names of the Monitor page.
    static QStringList optionKeys();

    // What the controls say now.
    AlertOptions options() const;
    // Every option of the Monitor page; none for a field left empty.
    OptionValues optionValues() const;

private:
    QWidget* alertsPage(const AlertOptions& options);
    QWidget* monitorPage(const OptionValues& values);
    void checkAndAccept();

    AlertOptions m_options;
    OptionValues m_values;
    OptionCheck m_check;
    std::array<QCheckBox*, ALERT_RULE_COUNT> m_rules{};
    QSpinBox* m_passwordGuesses = nullptr;
    QSpinBox* m_passwordMinutes = nullptr;
    QSpinBox* m_userNameGuesses = nullptr;
    QSpinBox* m_userNameMinutes = nullptr;
    QCheckBox* m_notifications = nullptr;
    QSpinBox* m_interval = nullptr;
    std::vector<QLineEdit*> m_fields; // as the option fields go
    QSpinBox* m_rows = nullptr;
    QTabWidget* m_pages = nullptr;
    QLabel* m_problem = nullptr;
};
