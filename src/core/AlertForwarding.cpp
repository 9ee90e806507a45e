// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AlertForwarding.h"

#include "events/Address.h"

SyslogFields alertSyslogFields(const Alert& alert)
{
    SyslogFields fields;
    fields.severity = Severity::Warning;
    fields.timestamp = rfc3339Timestamp(alert.arrivalMicros);
    fields.hostname = FormatIPAddress(alert.server);
    fields.msgId = "Alert";
    QByteArray data = QByteArray("[") + ALERT_SD_ID + " rule=\"";
    data += alertRuleKey(alert.rule);
    data += "\" user=\"";
    appendParamValue(data, alert.user.constData());
    data += "\" address=\"" + FormatIPAddress(alert.address) + "\"]";
    fields.structuredData = data;
    QByteArray text = alertWhat(alert.rule);
    text += ": ";
    // The user name is 8-bit text; the message's is UTF-8.
    const QByteArray who = alertWho(alert);
    appendUtf8(text, who.constData());
    fields.text = text;
    return fields;
}

void forwardAlerts(AlertRules& rules, Forwarder& forwarder)
{
    QObject::connect(&rules, &AlertRules::alertsRaised, &forwarder, [&forwarder](const AlertBatch& alerts) {
        for (const Alert& alert : alerts)
            forwarder.forwardMessage(alertSyslogFields(alert));
    });
}

void storeAlerts(AlertRules& rules, EventStore& store)
{
    QObject::connect(&rules, &AlertRules::alertsRaised, &store, [&store](const AlertBatch& alerts) {
        for (const Alert& alert : alerts)
            store.storeAlert({alert.arrivalMicros, alertRuleKey(alert.rule), alert.server, alert.address,
                              alert.user, alertWhat(alert.rule) + QByteArray(": ") + alertWho(alert)});
    });
}
