// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/Alert.h"
#include "alerts/GuessTracker.h"
#include "events/EventBatch.h"

#include <QObject>

#include <array>

// Which rules run, their thresholds, and how the desktop is told.
struct AlertOptions {
    std::array<bool, ALERT_RULE_COUNT> enabled{true, true, true, true, true, true, true};
    int passwordGuesses = 5;  // invalid passwords of one user at one server ...
    int passwordMinutes = 10; // ... within this many minutes
    int userNameGuesses = 5;  // invalid user names from one address at one server ...
    int userNameMinutes = 10;
    bool notifications = true;
    int notificationIntervalMs = 10000; // at most one desktop notification per rule in this time
};
// The ranges the settings accept.
constexpr int MIN_GUESSES = 2;
constexpr int MAX_WINDOW_MINUTES = 1440;

// The rules over the event stream: a listener of the pipeline that turns events into alerts. Time is
// the batch's monotonic arrival clock; the firewalls' time fields are free text.
class AlertRules : public QObject
{
    Q_OBJECT
public:
    explicit AlertRules(const AlertOptions& options = {}, std::size_t maxKeys = MAX_TRACKED_KEYS,
                        QObject* parent = nullptr);

    const AlertOptions& options() const { return m_options; }
    void setOptions(const AlertOptions& options);

    // The pipeline's listener: emits alertsRaised once for a batch that raised any.
    void takeBatch(const EventBatch& batch);
    // One event; what it raises is appended to `out`.
    void check(const EventRecord& record, qint64 arrivalMicros, qint64 arrivalMonotonic, AlertBatch& out);

    const GuessTracker& tracker() const { return m_tracker; }

signals:
    void alertsRaised(const AlertBatch& alerts);

private:
    AlertOptions m_options;
    GuessTracker m_tracker;
    AlertBatch m_raised; // reused for each batch
};
