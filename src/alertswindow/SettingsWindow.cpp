// SPDX-License-Identifier: GPL-3.0-or-later
#include "alertswindow/SettingsWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace
{

QSpinBox* makeSpin(QWidget* parent, int value, int low, int high, const QString& name, const QString& suffix)
{
    auto* spin = new QSpinBox(parent);
    spin->setRange(low, high);
    spin->setValue(value);
    spin->setSuffix(suffix);
    spin->setObjectName(name);
    spin->setAccessibleName(name);
    return spin;
}

} // namespace

SettingsWindow::SettingsWindow(const AlertOptions& options, QWidget* parent)
    : QDialog(parent), m_options(options)
{
    setObjectName(QStringLiteral("Settings"));
    setWindowTitle(QStringLiteral("Settings"));
    auto* rules = new QGroupBox(QStringLiteral("Alerts"), this);
    auto* grid = new QGridLayout(rules);
    for (int r = 0; r < ALERT_RULE_COUNT; ++r) {
        QString label = QString::fromLatin1(alertWhat(AlertRule(r)));
        label[0] = label[0].toUpper();
        m_rules[std::size_t(r)] = new QCheckBox(label, rules);
        m_rules[std::size_t(r)]->setObjectName(QString::fromLatin1(alertRuleKey(AlertRule(r))));
        m_rules[std::size_t(r)]->setAccessibleName(label);
        m_rules[std::size_t(r)]->setChecked(options.enabled[std::size_t(r)]);
        grid->addWidget(m_rules[std::size_t(r)], r, 0);
    }
    m_passwordGuesses = makeSpin(rules, options.passwordGuesses, MIN_GUESSES, MAX_GUESSES,
                                 QStringLiteral("Invalid passwords"), QStringLiteral(" invalid passwords"));
    m_passwordMinutes = makeSpin(rules, options.passwordMinutes, 1, MAX_WINDOW_MINUTES,
                                 QStringLiteral("Password minutes"), QStringLiteral(" minutes"));
    m_userNameGuesses = makeSpin(rules, options.userNameGuesses, MIN_GUESSES, MAX_GUESSES,
                                 QStringLiteral("Invalid user names"), QStringLiteral(" invalid user names"));
    m_userNameMinutes = makeSpin(rules, options.userNameMinutes, 1, MAX_WINDOW_MINUTES,
                                 QStringLiteral("User-name minutes"), QStringLiteral(" minutes"));
    const int password = int(AlertRule::PasswordGuessing);
    const int userName = int(AlertRule::UserNameGuessing);
    grid->addWidget(m_passwordGuesses, password, 1);
    grid->addWidget(new QLabel(QStringLiteral("within"), rules), password, 2);
    grid->addWidget(m_passwordMinutes, password, 3);
    grid->addWidget(m_userNameGuesses, userName, 1);
    grid->addWidget(new QLabel(QStringLiteral("within"), rules), userName, 2);
    grid->addWidget(m_userNameMinutes, userName, 3);

    auto* desktop = new QGroupBox(QStringLiteral("Desktop"), this);
    auto* row = new QHBoxLayout(desktop);
    m_notifications =
        new QCheckBox(QStringLiteral("Desktop notifications, at most one of a kind every"), desktop);
    m_notifications->setObjectName(QStringLiteral("notifications"));
    m_notifications->setAccessibleName(QStringLiteral("Desktop notifications"));
    m_notifications->setChecked(options.notifications);
    m_interval = makeSpin(desktop, std::max(1, options.notificationIntervalMs / 1000), 1, 3600,
                          QStringLiteral("Seconds between notifications"), QStringLiteral(" s"));
    row->addWidget(m_notifications);
    row->addWidget(m_interval);
    row->addStretch();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    for (QAbstractButton* button : buttons->buttons())
        button->setObjectName(button->text().remove(QLatin1Char('&')));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rules);
    layout->addWidget(desktop);
    layout->addWidget(buttons);
}

AlertOptions SettingsWindow::options() const
{
    AlertOptions o = m_options;
    for (std::size_t r = 0; r < m_rules.size(); ++r)
        o.enabled[r] = m_rules[r]->isChecked();
    o.passwordGuesses = m_passwordGuesses->value();
    o.passwordMinutes = m_passwordMinutes->value();
    o.userNameGuesses = m_userNameGuesses->value();
    o.userNameMinutes = m_userNameMinutes->value();
    o.notifications = m_notifications->isChecked();
    // A shorter interval than the window offers (from the settings file) stays as it was.
    if (m_interval->value() != std::max(1, m_options.notificationIntervalMs / 1000))
        o.notificationIntervalMs = m_interval->value() * 1000;
    return o;
}
