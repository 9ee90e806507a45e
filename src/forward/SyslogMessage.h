// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <QByteArray>
#include <QtGlobal>

// Every message goes out under the authorization facility for private messages.
constexpr int FACILITY_AUTHPRIV = 10;
// The structured data's IDs, under the enterprise number reserved for documentation.
constexpr char EVENT_SD_ID[] = "event@32473";
constexpr char ALERT_SD_ID[] = "alert@32473";

// The fields of one RFC 5424 message that vary; APP-NAME is always "sorvane", PROCID "-".
struct SyslogFields {
    Severity severity = Severity::Notice;
    QByteArray timestamp;      // RFC 3339, as rfc3339Timestamp() makes it
    QByteArray hostname;       // printable US-ASCII; "-" when empty
    QByteArray msgId;          // printable US-ASCII, at most 32; "-" when empty
    QByteArray structuredData; // whole elements, already escaped; "-" when empty
    QByteArray text;           // UTF-8; goes after the byte-order mark
};

// "YYYY-MM-DDTHH:MM:SS.UUUUUU+HH:MM": `micros` since 1970-01-01 UTC in the local offset.
QByteArray rfc3339Timestamp(qint64 micros);

// The whole message, without any framing.
QByteArray syslogMessage(const SyslogFields& fields);

// Appends an 8-bit text read as Latin-1, in UTF-8, with '"', '\' and ']' escaped for a PARAM-VALUE.
void appendParamValue(QByteArray& out, const char* latin1);
// The same text in UTF-8, unescaped.
void appendUtf8(QByteArray& out, const char* latin1);

// The message of one event that arrived at `timestamp` (rfc3339Timestamp of the batch's arrival).
QByteArray eventSyslogMessage(const EventRecord& record, const QByteArray& timestamp);
