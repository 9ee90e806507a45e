// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventCodes.h"

#include <QByteArray>
#include <QMetaType>
#include <QtGlobal>

#include <vector>

struct Alert {
    AlertRule rule = AlertRule::AccountLocked;
    quint32 server = 0;          // datagram order, as in EventRecord
    quint32 address = 0;         // the user's address, datagram order
    QByteArray user;             // the user name as the firewall sent it (8-bit)
    qint64 arrivalMicros = 0;    // wall clock of the event's arrival
    qint64 arrivalMonotonic = 0; // monotonic milliseconds of the same
};
using AlertBatch = std::vector<Alert>;
Q_DECLARE_METATYPE(AlertBatch)

// "account locked", "password guessing", ...: what happened, for lists and notifications.
const char* alertWhat(AlertRule rule);
// The settings file's name of a rule: "account-locked", "password-guessing", ...
const char* alertRuleKey(AlertRule rule);
// "server 10.0.0.1, user alice" (user-name guessing: "address 172.16.0.9" instead of the user).
QByteArray alertWho(const Alert& alert);
