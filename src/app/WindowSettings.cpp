// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/WindowSettings.h"

#include <QSettings>

#include <cstdio>

namespace
{

const QString GEOMETRY_KEY = QStringLiteral("window/geometry");
const QString EVENT_COLUMNS_KEY = QStringLiteral("window/event-columns");
const QString ONLINE_COLUMNS_KEY = QStringLiteral("window/online-user-columns");

// Widths in pixels, wider than nothing and narrower than any screen.
constexpr int MAX_COLUMN_WIDTH = 10000;

void ignored(const QSettings& file, const QString& key)
{
    std::fprintf(stderr, "sorvane: %s in %s makes no sense; it is ignored\n", qPrintable(key),
                 qPrintable(file.fileName()));
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

} // namespace

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

bool saveWindowLayout(const QString& path, const WindowLayout& layout)
{
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        std::fprintf(
            stderr,
            "sorvane: the settings file %s is not in the settings format; the window's layout is not saved\n",
            qPrintable(path));
        return false;
    }
    file.setValue(GEOMETRY_KEY, QString::fromLatin1(layout.geometry.toBase64()));
    file.setValue(EVENT_COLUMNS_KEY, widthTexts(layout.eventColumns));
    file.setValue(ONLINE_COLUMNS_KEY, widthTexts(layout.onlineUserColumns));
    file.sync();
    if (file.status() != QSettings::NoError) {
        std::fprintf(stderr, "sorvane: cannot write the settings file %s; the window's layout is not saved\n",
                     qPrintable(path));
        return false;
    }
    return true;
}
