// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The one format of the dates and times the monitor writes itself (the Alerts window, the names of
// the files it suggests), sorting as text; the events' fields stay as the firewalls sent them.
inline QString dateFormat()
{
    return QStringLiteral("yyyy-MM-dd");
}
inline QString timeFormat()
{
    return QStringLiteral("yyyy-MM-dd HH:mm:ss");
}
