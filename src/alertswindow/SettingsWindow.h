// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QSpinBox;

// The "Settings" window: each alert rule on or off, the guessing thresholds, and the desktop
// notifications.
class SettingsWindow : public QDialog
{
    Q_OBJECT
public:
    SettingsWindow(const AlertOptions& options, QWidget* parent = nullptr);

    // What the controls say now.
    AlertOptions options() const;

private:
    AlertOptions m_options;
    std::array<QCheckBox*, ALERT_RULE_COUNT> m_rules{};
    QSpinBox* m_passwordGuesses;
    QSpinBox* m_passwordMinutes;
    QSpinBox* m_userNameGuesses;
    QSpinBox* m_userNameMinutes;
    QCheckBox* m_notifications;
    QSpinBox* m_interval;
};
