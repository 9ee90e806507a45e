// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertRules.h"

#include <algorithm>
#include <cstring>

AlertRules::AlertRules(const AlertOptions& options, std::size_t maxKeys, QObject* parent)
    : QObject(parent), m_options(options), m_tracker(maxKeys)
{
    qRegisterMetaType<AlertBatch>();
}

void AlertRules::setOptions(const AlertOptions& options)
{
    m_options = options;
}

void AlertRules::takeBatch(const EventBatch& batch)
{
    m_raised.clear();
    for (const EventRecord& record : batch.events)
        check(record, batch.arrivalMicros, batch.arrivalMonotonic, m_raised);
    if (!m_raised.empty())
        emit alertsRaised(m_raised);
}

void AlertRules::check(const EventRecord& record, qint64 arrivalMicros, qint64 arrivalMonotonic,
                       AlertBatch& out)
{
    const std::optional<AlertRule> watched = eventCodeInfo(record.EventCode).alert;
    if (!watched || !m_options.enabled[static_cast<std::size_t>(*watched)])
        return;
    const AlertRule rule = *watched;
    const std::size_t userLength = strnlen(record.Username, USERNAME_WIDTH);
    if (rule == AlertRule::PasswordGuessing || rule == AlertRule::UserNameGuessing) {
        const bool byName = rule == AlertRule::PasswordGuessing;
        const int guesses = byName ? m_options.passwordGuesses : m_options.userNameGuesses;
        const int minutes = byName ? m_options.passwordMinutes : m_options.userNameMinutes;
        const GuessKey key =
            makeGuessKey(static_cast<int>(rule), record.ServerIPAddress, byName ? 0 : record.IPAddress,
                         record.Username, byName ? userLength : 0);
        const qint64 windowMs = qint64(std::clamp(minutes, 1, MAX_WINDOW_MINUTES)) * 60000;
        if (!m_tracker.count(key, arrivalMonotonic, std::max(guesses, MIN_GUESSES), windowMs))
            return;
    }
    Alert alert;
    alert.rule = rule;
    alert.server = record.ServerIPAddress;
    alert.address = record.IPAddress;
    alert.user = QByteArray(record.Username, static_cast<qsizetype>(userLength));
    alert.arrivalMicros = arrivalMicros;
    alert.arrivalMonotonic = arrivalMonotonic;
    out.push_back(std::move(alert));
}
