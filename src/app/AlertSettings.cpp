// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AlertSettings.h"

#include "app/OnOff.h"

#include <QSettings>

#include <cstdio>

namespace
{

struct NumberKey {
    const char* key;
    int AlertOptions::*value;
    int low;
    int high;
};
const NumberKey NUMBER_KEYS[] = {
    {"alerts/password-guesses", &AlertOptions::passwordGuesses, MIN_GUESSES, MAX_GUESSES},
    {"alerts/password-minutes", &AlertOptions::passwordMinutes, 1, MAX_WINDOW_MINUTES},
    {"alerts/user-name-guesses", &AlertOptions::userNameGuesses, MIN_GUESSES, MAX_GUESSES},
    {"alerts/user-name-minutes", &AlertOptions::userNameMinutes, 1, MAX_WINDOW_MINUTES},
    {"alerts/notification-interval-ms", &AlertOptions::notificationIntervalMs, 1, 3600000},
};
const char NOTIFICATIONS_KEY[] = "alerts/notifications";

QString ruleKey(int rule)
{
    return QStringLiteral("alerts/") + QString::fromLatin1(alertRuleKey(AlertRule(rule)));
}

void ignored(const QSettings& file, const QString& key)
{
    std::fprintf(stderr, "sorvane: %s in %s makes no sense; it is ignored\n", qPrintable(key),
                 qPrintable(file.fileName()));
}

void readSwitch(const QSettings& file, const QString& key, bool& on)
{
    if (!file.contains(key))
        return;
    if (!parseOnOff(file.value(key).toString(), on))
        ignored(file, key);
}

} // namespace

QStringList alertOptionKeys()
{
    QStringList keys{QString::fromLatin1(NOTIFICATIONS_KEY)};
    for (int rule = 0; rule < ALERT_RULE_COUNT; ++rule)
        keys << ruleKey(rule);
    for (const NumberKey& n : NUMBER_KEYS)
        keys << QString::fromLatin1(n.key);
    return keys;
}

void readAlertOptions(const QSettings& file, AlertOptions& options)
{
    for (int rule = 0; rule < ALERT_RULE_COUNT; ++rule)
        readSwitch(file, ruleKey(rule), options.enabled[std::size_t(rule)]);
    readSwitch(file, QString::fromLatin1(NOTIFICATIONS_KEY), options.notifications);
    for (const NumberKey& n : NUMBER_KEYS) {
        const QString key = QString::fromLatin1(n.key);
        if (!file.contains(key))
            continue;
        bool ok = false;
        const int value = file.value(key).toString().toInt(&ok);
        if (ok && value >= n.low && value <= n.high)
            options.*n.value = value;
        else
            ignored(file, key);
    }
}

bool saveAlertOptions(const QString& path, const AlertOptions& options)
{
    QSettings file(path, QSettings::IniFormat);
    for (int rule = 0; rule < ALERT_RULE_COUNT; ++rule)
        file.setValue(ruleKey(rule), options.enabled[std::size_t(rule)]);
    file.setValue(QString::fromLatin1(NOTIFICATIONS_KEY), options.notifications);
    for (const NumberKey& n : NUMBER_KEYS)
        file.setValue(QString::fromLatin1(n.key), options.*n.value);
    file.sync();
    if (file.status() != QSettings::NoError) {
        std::fprintf(stderr, "sorvane: cannot write the settings file %s; the alert settings are not saved\n",
                     qPrintable(path));
        return false;
    }
    return true;
}
