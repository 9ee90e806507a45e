// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringView>

// The one on/off grammar of the settings file: true/false, yes/no, on/off, 1/0. False, leaving `on`
// as it was, for any other text.
inline bool parseOnOff(QStringView text, bool& on)
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
