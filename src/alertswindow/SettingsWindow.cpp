// SPDX-License-Identifier: GPL-3.0-or-later
#include "alertswindow/SettingsWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <climits>

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

struct OptionField {
    const char* key;
    const char* label;
    const char* unset; // what holds when the field is empty
    bool list;         // comma-separated; otherwise one value, commas and all
    bool file;         // a file name, with a button to browse for it
};
const OptionField OPTION_FIELDS[] = {
    {"allow-from", "Allowed senders", "any; or addresses and blocks such as 192.168.1.0/24, 10.0.0.5", true,
     false},
    {"forward", "Forward to", "none; or collectors such as tls://logs.example.org:6514, udp://10.0.0.9", true,
     false},
    {"forward-ca", "CA certificates", "the system's", false, true},
    {"forward-fingerprint", "Collector fingerprints", "none; or SHA256:HEX, ...", true, false},
    {"forward-cert", "Client certificate", "none", false, true},
    {"forward-key", "Client key", "none", false, true},
    {"store", "Event store", "the log file's path and .db; none; or postgresql://USER@HOST/DB", false, true},
    {"site", "Site", "the host name", false, false},
    {"store-days", "Days the store keeps", "400; 0 keeps events for ever", false, false},
    {"metrics", "Prometheus metrics at", "none; or ADDRESS:PORT such as 127.0.0.1:9731", false, false},
    {"alert-command", "Alert command", "none; or a program run for each alert", false, true},
};
const QString ROWS_KEY = QStringLiteral("max-event-rows");

int rowsShown(const QStringList& rows)
{
    return int(std::min<qulonglong>(rows.join(QString()).toULongLong(), INT_MAX));
}

} // namespace

SettingsWindow::SettingsWindow(const AlertOptions& options, const OptionValues& values, OptionCheck check,
                               QWidget* parent)
    : QDialog(parent), m_options(options), m_values(values), m_check(std::move(check))
{
    setObjectName(QStringLiteral("Settings"));
    setWindowTitle(QStringLiteral("Settings"));
    m_pages = new QTabWidget(this);
    m_pages->setAccessibleName(QStringLiteral("Settings pages"));
    m_pages->addTab(alertsPage(options), QStringLiteral("&Alerts"));
    m_pages->addTab(monitorPage(values), QStringLiteral("&Monitor"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("Problem"));
    m_problem->setWordWrap(true);
    m_problem->hide();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    for (QAbstractButton* button : buttons->buttons())
        button->setObjectName(button->text().remove(QLatin1Char('&')));
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsWindow::checkAndAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pages);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
}

QStringList SettingsWindow::optionKeys()
{
    QStringList keys{ROWS_KEY};
    for (const OptionField& f : OPTION_FIELDS)
        keys << QString::fromLatin1(f.key);
    return keys;
}

QWidget* SettingsWindow::alertsPage(const AlertOptions& options)
{
    auto* page = new QWidget(this);
    auto* rules = new QGroupBox(QStringLiteral("Alerts"), page);
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

    auto* desktop = new QGroupBox(QStringLiteral("Desktop"), page);
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

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("Changes here apply at once."), page));
    layout->addWidget(rules);
    layout->addWidget(desktop);
    layout->addStretch();
    return page;
}

QWidget* SettingsWindow::monitorPage(const OptionValues& values)
{
    auto* page = new QWidget(this);
    auto* form = new QFormLayout(page);
    auto* note = new QLabel(QStringLiteral("Sorvane reads these when it starts: changes take effect when "
                                           "Sorvane starts again. An option on its command line wins."),
                            page);
    note->setWordWrap(true);
    form->addRow(note);
    for (const OptionField& f : OPTION_FIELDS) {
        const QString label = QString::fromLatin1(f.label);
        auto* field = new QLineEdit(page);
        field->setObjectName(QString::fromLatin1(f.key));
        field->setAccessibleName(label);
        field->setPlaceholderText(QString::fromLatin1(f.unset));
        field->setText(
            values.value(field->objectName()).join(f.list ? QStringLiteral(", ") : QStringLiteral(",")));
        m_fields.push_back(field);
        if (!f.file) {
            form->addRow(label + QLatin1Char(':'), field);
            continue;
        }
        auto* row = new QHBoxLayout;
        auto* browse = new QPushButton(QStringLiteral("Browse..."), page);
        browse->setAccessibleName(QStringLiteral("Browse for the ") + label.toLower());
        browse->setAutoDefault(false); // Enter in a field is OK, not a file dialog
        connect(browse, &QPushButton::clicked, this, [this, field, label] {
            const QString path =
                QFileDialog::getOpenFileName(this, label, QFileInfo(field->text()).absolutePath());
            if (!path.isEmpty())
                field->setText(path);
        });
        row->addWidget(field);
        row->addWidget(browse);
        form->addRow(label + QLatin1Char(':'), row);
    }
    m_rows = makeSpin(page, rowsShown(values.value(ROWS_KEY)), 0, INT_MAX,
                      QStringLiteral("Most events listed"), QStringLiteral(" events"));
    m_rows->setSpecialValueText(QStringLiteral("No cap"));
    form->addRow(QStringLiteral("Most events listed:"), m_rows);
    return page;
}

void SettingsWindow::checkAndAccept()
{
    QMap<QString, QString> labels;
    for (const OptionField& f : OPTION_FIELDS)
        labels.insert(QString::fromLatin1(f.key), QString::fromLatin1(f.label));
    labels.insert(ROWS_KEY, m_rows->accessibleName());
    QString key;
    const QString problem = m_check ? m_check(optionValues(), labels, key) : QString();
    if (problem.isEmpty()) {
        accept();
        return;
    }
    // Nothing is kept until every value would do; the field at fault has the keyboard.
    m_problem->setText(problem);
    m_problem->show();
    if (QWidget* field = findChild<QWidget*>(key)) {
        m_pages->setCurrentWidget(field->parentWidget());
        field->setFocus();
    }
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

OptionValues SettingsWindow::optionValues() const
{
    OptionValues values;
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        const QString text = m_fields[i]->text().trimmed();
        QStringList items;
        if (!text.isEmpty())
            items = OPTION_FIELDS[i].list ? text.split(QLatin1Char(',')) : QStringList{text};
        for (QString& item : items)
            item = item.trimmed();
        values.insert(m_fields[i]->objectName(), items);
    }
    // A cap larger than the spin box holds (from the settings file) stays as it was.
    const QStringList rows = m_values.value(ROWS_KEY);
    values.insert(ROWS_KEY, m_rows->value() == rowsShown(rows) && !rows.isEmpty()
                                ? rows
                                : QStringList{QString::number(m_rows->value())});
    return values;
}
