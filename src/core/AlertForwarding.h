// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"
#include "forward/Forwarder.h"
#include "store/EventStore.h"

// The syslog message of an alert: MSGID "Alert", severity warning, from the server it concerns.
SyslogFields alertSyslogFields(const Alert& alert);

// Every alert the rules raise goes on to the collectors, window or not.
void forwardAlerts(AlertRules& rules, Forwarder& forwarder);

// Every alert goes into the store too.
void storeAlerts(AlertRules& rules, EventStore& store);
