// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/StatusCounts.h"

#include <QString>
#include <QStringList>

// The one status line of the monitor, window or not: whether events arrive on `port` (`openError`
// 0) or why not, then ", " and a clause for each counter that is not zero, in the order above, then
// "; " and each condition that lasts while it lasts.
QString statusLineText(quint16 port, int openError, const StatusCounts& counts,
                       const QStringList& conditions = {});
