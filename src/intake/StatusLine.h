// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// What went missing, each counted since start; a counter at zero says nothing.
struct StatusCounts {
    quint64 lostLogLines = 0;
    quint64 droppedBySystem = 0;
    quint64 refusedSenders = 0;
    quint64 tooShort = 0; // datagrams too short to hold an event code
    quint64 notForwarded = 0;
    quint64 rowsNotShown = 0;

    bool anyMissing() const
    {
        return lostLogLines + droppedBySystem + refusedSenders + tooShort + notForwarded + rowsNotShown != 0;
    }
};

// The one status line of the monitor, window or not: whether events arrive on `port` (`openError`
// 0) or why not, then ", " and a clause for each counter that is not zero, in the order above, then
// "; " and each condition that lasts while it lasts.
QString statusLineText(quint16 port, int openError, const StatusCounts& counts,
                       const QStringList& conditions = {});
