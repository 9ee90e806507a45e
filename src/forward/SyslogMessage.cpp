#include "forward/SyslogMessage.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

constexpr char BOM[] = "\xEF\xBB\xBF";

// A header field: printable US-ASCII only (a blank would end it early), cut at `most`.
void appendHeaderField(QByteArray& out, const QByteArray& value, qsizetype most)
{
    if (value.isEmpty()) {
        out += '-';
        return;
    }
    const qsizetype length = std::min(value.size(), most);
    for (qsizetype i = 0; i < length; ++i) {
        const char c = value[i];
        out += (c > 32 && c < 127) ? c : '_';
    }
}

void appendLatin1Char(QByteArray& out, unsigned char c)
{
    if (c < 0x80) {
        out += char(c);
    } else {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    }
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
    QByteArray out;
    out.reserve(64 + fields.timestamp.size() + fields.hostname.size() + fields.structuredData.size() +
                fields.text.size());
    out += '<';
    out += QByteArray::number(FACILITY_AUTHPRIV * 8 + int(fields.severity));
    out += ">1 ";
    out += fields.timestamp.isEmpty() ? QByteArray("-") : fields.timestamp;
    out += ' ';
    appendHeaderField(out, fields.hostname, 255);
    out += " sorvane - ";
    appendHeaderField(out, fields.msgId, 32);
    out += ' ';
    out += fields.structuredData.isEmpty() ? QByteArray("-") : fields.structuredData;
    out += ' ';
    out += BOM;
    out += fields.text;
    return out;
}

void appendParamValue(QByteArray& out, const char* latin1)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(latin1); *p; ++p) {
        if (*p == '"' || *p == '\\' || *p == ']')
            out += '\\';
        appendLatin1Char(out, *p);
    }
}

void appendUtf8(QByteArray& out, const char* latin1)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(latin1); *p; ++p)
        appendLatin1Char(out, *p);
}

Severity eventSeverity(quint32 code)
{
    switch (code) {
    case LoggedOn:
    case LoggedOff:
    case AccessTimeExpired:
        return Severity::Informational;
    case AccountLockedUp:
    case AccountMarkedForLockUp:
    case AccountIsDisabled:
    case FirewallRebooted:
        return Severity::Warning;
    default:
        return Severity::Notice;
    }
}

QByteArray eventMsgId(quint32 code)
{
    return code < EVENT_CODE_COUNT ? QByteArray(eventKeyword(code)) : QByteArray("Unknown");
}

QByteArray eventSyslogMessage(const EventRecord& record, const QByteArray& timestamp)
{
    const QByteArray userAddress = FormatIPAddress(record.IPAddress);
    QByteArray data;
    data.reserve(256);
    data += '[';
    data += EVENT_SD_ID;
    data += " code=\"";
    data += QByteArray::number(record.EventCode);
    data += "\" user=\"";
    appendParamValue(data, record.Username);
    data += "\" group=\"";
    appendParamValue(data, record.Groupname);
    data += "\" address=\"";
    data += userAddress;
    data += "\" loginTime=\"";
    appendParamValue(data, record.LoginTime);
    data += "\" date=\"";
    appendParamValue(data, record.Date);
    data += "\" time=\"";
    appendParamValue(data, record.EventTime);
    data += "\"]";

    // The display text without its leading blank.
    const QByteArray message = eventMessage(record.EventCode);
    QByteArray text;
    text.reserve(96);
    text += QByteArrayView(message).sliced(message.startsWith(' ') ? 1 : 0);
    text += ": ";
    appendUtf8(text, record.Username);
    text += " from ";
    text += userAddress;

    SyslogFields fields;
    fields.severity = eventSeverity(record.EventCode);
    fields.timestamp = timestamp;
    fields.hostname = FormatIPAddress(record.ServerIPAddress);
    fields.msgId = eventMsgId(record.EventCode);
    fields.structuredData = data;
    fields.text = text;
    return syslogMessage(fields);
}
