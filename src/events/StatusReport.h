// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// A clause's text for one and for many; its owner names it once.
struct StatusClause {
    const char* one;
    const char* many;
};

// Datagrams refused for their sender: the intake's events and the window's discovery replies.
inline constexpr StatusClause REFUSED_SENDERS{"datagram from unlisted senders refused",
                                              "datagrams from unlisted senders refused"};

// The status line's counts and conditions. Each part of the monitor adds its own, in the line's
// order: the intake's, then each output's, then the window's. A count at zero says nothing, but
// keeps its clause's place.
class StatusReport
{
public:
    // Adds `count` to the clause of that text, or places the clause after those added so far.
    void addCount(quint64 count, const StatusClause& clause);
    // A condition lasts while it lasts, e.g. a collector that cannot be reached.
    void addCondition(const QString& condition) { m_conditions << condition; }
    void addConditions(const QStringList& conditions) { m_conditions += conditions; }

    bool anyMissing() const;
    const QStringList& conditions() const { return m_conditions; }
    // `head`, then ", " and each counted clause, then "; " and each condition.
    QString text(const QString& head) const;

private:
    struct Count {
        StatusClause clause;
        quint64 count;
    };
    std::vector<Count> m_counts;
    QStringList m_conditions;
};
