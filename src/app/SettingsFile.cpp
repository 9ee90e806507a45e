// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsFile.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

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

const QString GEOMETRY_KEY = QStringLiteral("window/geometry");
const QString EVENT_COLUMNS_KEY = QStringLiteral("window/event-columns");
const QString ONLINE_COLUMNS_KEY = QStringLiteral("window/online-user-columns");

// Widths in pixels, wider than nothing and narrower than any screen.
constexpr int MAX_COLUMN_WIDTH = 10000;

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

std::vector<int> readWidths(const QSettings& file, const QString& key)
{
    std::vector<int> widths;
    if (!file.contains(key))
        return widths;
    // The file keeps "80, 80, 100" as a list; a single number reads as plain text.
    for (const QString& item : file.value(key).toStringList()) {
        bool ok = false;
        const int width = item.trimmed().toInt(&ok);
        if (!ok || width < 1 || width > MAX_COLUMN_WIDTH) {
            ignored(file, key);
            return {};
        }
        widths.push_back(width);
    }
    return widths;
}

QStringList widthTexts(const std::vector<int>& widths)
{
    QStringList texts;
    for (const int width : widths)
        texts << QString::number(width);
    return texts;
}

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

QStringList windowLayoutKeys()
{
    return {GEOMETRY_KEY, EVENT_COLUMNS_KEY, ONLINE_COLUMNS_KEY};
}

void readWindowLayout(const QSettings& file, WindowLayout& layout)
{
    if (file.contains(GEOMETRY_KEY)) {
        const auto decoded = QByteArray::fromBase64Encoding(file.value(GEOMETRY_KEY).toString().toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (decoded && !decoded.decoded.isEmpty())
            layout.geometry = decoded.decoded;
        else
            ignored(file, GEOMETRY_KEY);
    }
    layout.eventColumns = readWidths(file, EVENT_COLUMNS_KEY);
    layout.onlineUserColumns = readWidths(file, ONLINE_COLUMNS_KEY);
}

// Names every key and group of the file that no reader knows: a misspelt key would otherwise be
// ignored without a word.
void warnOfUnknownKeys(const QSettings& file, const QStringList& known)
{
    const QStringList groups{QStringLiteral("window"), QStringLiteral("alerts")};
    QStringList unknownGroups;
    for (const QString& key : file.allKeys()) {
        const qsizetype slash = key.indexOf(QLatin1Char('/'));
        const QString group = key.left(slash);
        if (slash >= 0 && !groups.contains(group)) {
            if (!unknownGroups.contains(group))
                std::fprintf(stderr, "sorvane: unknown group [%s] in %s; it is ignored\n", qPrintable(group),
                             qPrintable(file.fileName()));
            unknownGroups << group;
        } else if (!known.contains(key)) {
            std::fprintf(stderr, "sorvane: unknown setting %s in %s; it is ignored\n", qPrintable(key),
                         qPrintable(file.fileName()));
        }
    }
}

// Writes what `write` sets into the file at `path`, keeping its other settings; never into a file
// that is not in the settings format, which would lose what the operator wrote there.
void save(const QString& path, const char* what, const std::function<void(QSettings&)>& write)
{
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        std::fprintf(stderr, "sorvane: the settings file %s is not in the settings format; %s not saved\n",
                     qPrintable(path), what);
        return;
    }
    write(file);
    file.sync();
    if (file.status() != QSettings::NoError)
        std::fprintf(stderr, "sorvane: cannot write the settings file %s; %s not saved\n", qPrintable(path),
                     what);
}

} // namespace

QString defaultSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/sorvane/sorvane.conf");
}

bool openSettings(const QString& path, bool named, std::unique_ptr<QSettings>& settings)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        if (named)
            std::fprintf(stderr, "sorvane: the settings file %s does not exist; the defaults apply\n",
                         qPrintable(path));
        return true;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const int error = fd < 0 ? errno : info.isDir() ? EISDIR : 0;
    if (fd >= 0)
        ::close(fd);
    if (error != 0) {
        std::fprintf(stderr, "sorvane: cannot read the settings file %s: %s\n", qPrintable(path),
                     std::strerror(error));
        return false;
    }
    settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (settings->status() != QSettings::NoError) {
        std::fprintf(stderr, "sorvane: the settings file %s is not in the settings format\n",
                     qPrintable(path));
        return false;
    }
    return true;
}

void readSettings(const QSettings& file, const QStringList& optionKeys, WindowLayout& layout,
                  AlertOptions& alerts)
{
    warnOfUnknownKeys(file, optionKeys + windowLayoutKeys() + alertOptionKeys());
    readWindowLayout(file, layout);
    readAlertOptions(file, alerts);
}

bool parseOnOff(QStringView text, bool& on)
{
    for (const char* word : {"true", "yes", "on", "1"}) {
        if (text == QLatin1String(word)) {
            on = true;
            return true;
        }
    }
    for (const char* word : {"false", "no", "off", "0"}) {
        if (text == QLatin1String(word)) {
            on = false;
            return true;
        }
    }
    return false;
}

void saveAlertOptions(const QString& path, const AlertOptions& options)
{
    save(path, "the alert settings are", [&options](QSettings& file) {
        for (int rule = 0; rule < ALERT_RULE_COUNT; ++rule)
            file.setValue(ruleKey(rule), options.enabled[std::size_t(rule)]);
        file.setValue(QString::fromLatin1(NOTIFICATIONS_KEY), options.notifications);
        for (const NumberKey& n : NUMBER_KEYS)
            file.setValue(QString::fromLatin1(n.key), options.*n.value);
    });
}

void saveWindowLayout(const QString& path, const WindowLayout& layout)
{
    save(path, "the window's layout is", [&layout](QSettings& file) {
        file.setValue(GEOMETRY_KEY, QString::fromLatin1(layout.geometry.toBase64()));
        file.setValue(EVENT_COLUMNS_KEY, widthTexts(layout.eventColumns));
        file.setValue(ONLINE_COLUMNS_KEY, widthTexts(layout.onlineUserColumns));
    });
}

QMap<QString, QStringList> readOptionValues(const QString& path, const QStringList& keys)
{
    const QSettings file(path, QSettings::IniFormat);
    QMap<QString, QStringList> values;
    for (const QString& key : keys)
        if (file.contains(key))
            values.insert(key, file.value(key).toStringList());
    return values;
}

void saveOptionValues(const QString& path, const QMap<QString, QStringList>& values)
{
    save(path, "the settings are", [&values](QSettings& file) {
        for (auto v = values.cbegin(); v != values.cend(); ++v) {
            if (v.value().isEmpty())
                file.remove(v.key());
            else
                file.setValue(v.key(), v.value());
        }
    });
}
