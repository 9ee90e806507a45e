// SPDX-License-Identifier: GPL-3.0-or-later
#include "forward/SyslogMessage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

constexpr char BOM[] = "\xEF\xBB\xBF";

// Writes on at a pointer, into room its caller made for the most it can write: every event's message
// is made this way, as appending piece by piece to a QByteArray cost most of the time.
class Writer
{
public:
    explicit Writer(char* at) : m_at(at) {}
    char* end() const { return m_at; }
    void put(char c) { *m_at++ = c; }
    void put(const char* text, std::size_t length)
    {
        if (length == 0) // an empty view may have no data at all, and memcpy must not see null
            return;
        std::memcpy(m_at, text, length);
        m_at += length;
    }
    void put(QByteArrayView text) { put(text.data(), std::size_t(text.size())); }
    void number(quint32 value)
    {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0)
            put(digits[--n]);
    }
    // Latin-1 as UTF-8; with `escape`, a backslash before '"', '\\' and ']'.
    void latin1(const char* text, bool escape)
    {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            const unsigned char c = *p;
            if (c >= 0x80) {
                put(char(0xC0 | (c >> 6)));
                put(char(0x80 | (c & 0x3F)));
                continue;
            }
            if (escape && (c == '"' || c == '\\' || c == ']'))
                put('\\');
            put(char(c));
        }
    }

private:
    char* m_at;
};

// A header field: printable US-ASCII only (a blank would end it early), cut at `most`; "-" when empty.
void putHeaderField(Writer& w, QByteArrayView value, qsizetype most)
{
    if (value.isEmpty()) {
        w.put('-');
        return;
    }
    for (const char c : value.first(std::min(value.size(), most)))
        w.put((c > 32 && c < 127) ? c : '_');
}

// Every message starts so: "<PRI>1 TIMESTAMP HOSTNAME sorvane - MSGID ". At most HEADER_ROOM bytes
// besides the timestamp.
constexpr qsizetype HEADER_ROOM = 320;
void putHeader(Writer& w, Severity severity, QByteArrayView timestamp, QByteArrayView hostname,
               QByteArrayView msgId)
{
    w.put('<');
    w.number(quint32(FACILITY_AUTHPRIV * 8 + int(severity)));
    w.put(">1 ");
    w.put(timestamp.isEmpty() ? QByteArrayView("-") : timestamp);
    w.put(' ');
    putHeaderField(w, hostname, 255);
    w.put(" sorvane - ");
    putHeaderField(w, msgId, 32);
    w.put(' ');
}

void appendLatin1(QByteArray& out, const char* latin1, bool escape)
{
    const qsizetype start = out.size();
    out.resize(start + 2 * qsizetype(std::strlen(latin1)));
    Writer w(out.data() + start);
    w.latin1(latin1, escape);
    out.truncate(w.end() - out.constData());
}

} // namespace

QByteArray rfc3339Timestamp(qint64 micros)
{
    qint64 seconds = micros / 1000000;
    qint64 fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    const long offset = local.tm_gmtoff / 60;
    const long absolute = offset < 0 ? -offset : offset;
    char text[48];
    const int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06d%c%02ld:%02ld",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                      local.tm_sec, int(fraction), offset < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return QByteArray(text, length);
}

QByteArray syslogMessage(const SyslogFields& fields)
{
    const QByteArrayView data =
        fields.structuredData.isEmpty() ? QByteArrayView("-") : QByteArrayView(fields.structuredData);
    QByteArray out(HEADER_ROOM + fields.timestamp.size() + data.size() + fields.text.size(),
                   Qt::Uninitialized);
    Writer w(out.data());
    putHeader(w, fields.severity, fields.timestamp, fields.hostname, fields.msgId);
    w.put(data);
    w.put(' ');
    w.put(BOM);
    w.put(fields.text);
    out.truncate(w.end() - out.constData());
    return out;
}

void appendParamValue(QByteArray& out, const char* latin1)
{
    appendLatin1(out, latin1, true);
}

void appendUtf8(QByteArray& out, const char* latin1)
{
    appendLatin1(out, latin1, false);
}

QByteArray eventSyslogMessage(const EventRecord& record, const QByteArray& timestamp)
{
    const QByteArray userAddress = FormatIPAddress(record.IPAddress);
    const QByteArray serverAddress = FormatIPAddress(record.ServerIPAddress);
    const quint32 code = record.EventCode;
    // Each 8-bit byte takes at most two: escaped, or in UTF-8.
    constexpr std::size_t TEXT =
        2 * (2 * USERNAME_WIDTH + GROUPNAME_WIDTH + LOGINTIME_WIDTH + DATE_WIDTH + EVENTTIME_WIDTH);
    QByteArray out(HEADER_ROOM + qsizetype(64 + TEXT) + timestamp.size(), Qt::Uninitialized);
    Writer w(out.data());
    const EventCodeInfo& info = eventCodeInfo(code);
    putHeader(w, info.severity, timestamp, serverAddress, code < EVENT_CODE_COUNT ? info.keyword : "Unknown");
    w.put('[');
    w.put(EVENT_SD_ID);
    w.put(" code=\"");
    w.number(code);
    w.put("\" user=\"");
    w.latin1(record.Username, true);
    w.put("\" group=\"");
    w.latin1(record.Groupname, true);
    w.put("\" address=\"");
    w.put(userAddress);
    w.put("\" loginTime=\"");
    w.latin1(record.LoginTime, true);
    w.put("\" date=\"");
    w.latin1(record.Date, true);
    w.put("\" time=\"");
    w.latin1(record.EventTime, true);
    w.put("\"] ");
    w.put(BOM);
    // The display text without its leading blank.
    if (code < EVENT_CODE_COUNT) {
        w.put(info.message + 1);
    } else {
        w.put("Unknown event ");
        w.number(code);
    }
    w.put(": ");
    w.latin1(record.Username, false);
    w.put(" from ");
    w.put(userAddress);
    Q_ASSERT(w.end() - out.constData() <= out.size());
    out.truncate(w.end() - out.constData());
    return out;
}
