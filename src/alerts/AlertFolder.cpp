// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertFolder.h"

#include <utility>

AlertFolder::AlertFolder(int intervalMs, QObject* parent) : QObject(parent), m_intervalMs(intervalMs)
{
    for (RuleState& state : m_rules) {
        state.interval.setSingleShot(true);
        connect(&state.interval, &QTimer::timeout, this, [this, &state] { endInterval(state); });
    }
}

void AlertFolder::take(const AlertBatch& alerts)
{
    for (const Alert& alert : alerts) {
        RuleState& state = m_rules[static_cast<std::size_t>(alert.rule)];
        if (state.interval.isActive()) {
            ++state.folded;
            state.last = alert;
            continue;
        }
        state.interval.start(m_intervalMs);
        emit passed(alert, 0);
    }
}

int AlertFolder::clear()
{
    int waiting = 0;
    for (RuleState& state : m_rules) {
        waiting += state.folded > 0;
        state.folded = 0;
        state.interval.stop();
    }
    return waiting;
}

void AlertFolder::endInterval(RuleState& state)
{
    if (state.folded == 0)
        return;
    const int folded = std::exchange(state.folded, 0);
    state.interval.start(m_intervalMs);
    emit passed(state.last, folded);
}
