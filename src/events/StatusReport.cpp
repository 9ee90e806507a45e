// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/StatusReport.h"

#include <cstring>

void StatusReport::addCount(quint64 count, const StatusClause& clause)
{
    for (Count& known : m_counts) {
        if (std::strcmp(known.clause.one, clause.one) == 0) {
            known.count += count;
            return;
        }
    }
    m_counts.push_back({clause, count});
}

bool StatusReport::anyMissing() const
{
    for (const Count& known : m_counts) {
        if (known.count != 0)
            return true;
    }
    return false;
}

QString StatusReport::text(const QString& head) const
{
    QString text = head;
    for (const Count& known : m_counts) {
        if (known.count != 0)
            text += QStringLiteral(", %1 %2")
                        .arg(known.count)
                        .arg(QLatin1String(known.count == 1 ? known.clause.one : known.clause.many));
    }
    for (const QString& condition : m_conditions)
        text += QStringLiteral("; ") + condition;
    return text;
}
