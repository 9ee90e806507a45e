// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// What went missing, each counted since start; a counter at zero says nothing. The status line
// shows them in this order.
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
