// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/Alert.h"

#include <QObject>
#include <QTimer>

#include <array>

// Folds a flood of alerts per rule: the first of a rule passes at once, and those of that rule that
// come within the interval after it pass as one when the interval ends.
class AlertFolder : public QObject
{
    Q_OBJECT
public:
    explicit AlertFolder(int intervalMs, QObject* parent = nullptr);

    void setInterval(int intervalMs) { m_intervalMs = intervalMs; }
    void take(const AlertBatch& alerts);
    // Forgets what waits; returns how many rules had alerts waiting.
    int clear();

signals:
    // `alert` at once (`folded` 0), or the last of `folded` alerts of its rule at the interval's end.
    void passed(const Alert& alert, int folded);

private:
    struct RuleState {
        QTimer interval;
        int folded = 0; // alerts since the last that passed
        Alert last;
    };
    void endInterval(RuleState& state);

    int m_intervalMs;
    std::array<RuleState, ALERT_RULE_COUNT> m_rules;
};
