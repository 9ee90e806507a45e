// SPDX-License-Identifier: GPL-3.0-or-later
#include "intake/StatusLine.h"

#include <cstring>

QString statusLineText(quint16 port, int openError, const StatusCounts& counts, const QStringList& conditions)
{
    QString text = openError == 0 ? QStringLiteral("Listening for events on UDP port %1").arg(port)
                                  : QStringLiteral("Not receiving events: UDP port %1: %2")
                                        .arg(port)
                                        .arg(QString::fromLocal8Bit(std::strerror(openError)));
    const struct {
        quint64 count;
        const char* one;
        const char* many;
    } clauses[] = {
        {counts.lostLogLines, "log line lost", "log lines lost"},
        {counts.droppedBySystem, "event dropped by the system", "events dropped by the system"},
        {counts.refusedSenders, "datagram from unlisted senders refused",
         "datagrams from unlisted senders refused"},
        {counts.tooShort, "datagram too short", "datagrams too short"},
        {counts.notForwarded, "event not forwarded", "events not forwarded"},
        {counts.rowsNotShown, "oldest row no longer shown", "oldest rows no longer shown"},
    };
    for (const auto& clause : clauses) {
        if (clause.count != 0)
            text += QStringLiteral(", %1 %2")
                        .arg(clause.count)
                        .arg(QLatin1String(clause.count == 1 ? clause.one : clause.many));
    }
    for (const QString& condition : conditions)
        text += QStringLiteral("; ") + condition;
    return text;
}
