// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/ReplayFormat.h"

#include "events/EventRecord.h"

#include <QFile>

#include <cstring>

namespace
{

constexpr int MAX_WAIT_MS = 3600 * 1000;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QString quoted(const QByteArray& text)
{
    return QLatin1Char('\'') + QString::fromLatin1(text) + QLatin1Char('\'');
}

// Splits a line into tokens; quotes are dropped, escapes are kept for unescapeValue.
bool tokenize(const QByteArray& line, QVector<QByteArray>& tokens, QString& message)
{
    QByteArray token;
    bool started = false;
    bool inQuotes = false;
    for (int i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (i + 1 >= line.size()) {
                message = QStringLiteral("backslash at the end of the line");
                return false;
            }
            token += c;
            token += line[++i];
            started = true;
        } else if (c == '"') {
            inQuotes = !inQuotes;
            started = true;
        } else if (inQuotes) {
            token += c;
        } else if (c == '#') {
            break;
        } else if (isBlank(c)) {
            if (started)
                tokens.append(token);
            token.clear();
            started = false;
        } else {
            token += c;
            started = true;
        }
    }
    if (inQuotes) {
        message = QStringLiteral("unterminated quote");
        return false;
    }
    if (started)
        tokens.append(token);
    return true;
}

bool parseDecimal(const QByteArray& text, qint64 max, qint64& value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value <= max;
}

bool appendHex(const QByteArray& token, QByteArray& bytes, QString& message)
{
    if (token.size() % 2 != 0) {
        message = QStringLiteral("hex bytes need two digits each: ") + quoted(token);
        return false;
    }
    for (int i = 0; i < token.size(); i += 2) {
        const int high = hexDigit(token[i]);
        const int low = hexDigit(token[i + 1]);
        if (high < 0 || low < 0) {
            message = QStringLiteral("not hex: ") + quoted(token);
            return false;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

struct TextField {
    const char* key;
    std::size_t width;
    char* (*field)(EventRecord&);
};

const TextField TEXT_FIELDS[] = {
    {"user", USERNAME_WIDTH, [](EventRecord& r) { return r.Username; }},
    {"group", GROUPNAME_WIDTH, [](EventRecord& r) { return r.Groupname; }},
    {"login", LOGINTIME_WIDTH, [](EventRecord& r) { return r.LoginTime; }},
    {"date", DATE_WIDTH, [](EventRecord& r) { return r.Date; }},
    {"time", EVENTTIME_WIDTH, [](EventRecord& r) { return r.EventTime; }},
};

bool setEventValue(EventRecord& record, const QByteArray& key, const QByteArray& value, QString& message)
{
    for (const TextField& text : TEXT_FIELDS) {
        if (key != text.key)
            continue;
        if (value.contains('\0')) {
            message =
                QStringLiteral("%1 holds a NUL byte; use raw for such a datagram").arg(QLatin1String(key));
            return false;
        }
        if (static_cast<std::size_t>(value.size()) > text.width) {
            message = QStringLiteral("%1 is %2 bytes long, at most %3 fit")
                          .arg(QLatin1String(key))
                          .arg(value.size())
                          .arg(text.width);
            return false;
        }
        setField(text.field(record), text.width, value);
        return true;
    }
    if (key == "code" || key == "header") {
        qint64 number = 0;
        if (!parseDecimal(value, 255, number)) {
            message = QStringLiteral("%1 must be a decimal number from 0 to 255: ").arg(QLatin1String(key)) +
                      quoted(value);
            return false;
        }
        (key == "code" ? record.EventCode : record.Header) = static_cast<quint32>(number);
        return true;
    }
    if (key == "ip" || key == "server") {
        quint32 address = 0;
        if (!parseIPv4(QString::fromLatin1(value), address)) {
            message =
                QStringLiteral("%1 must be a dotted IPv4 address: ").arg(QLatin1String(key)) + quoted(value);
            return false;
        }
        (key == "ip" ? record.IPAddress : record.ServerIPAddress) = datagramOrder(address);
        return true;
    }
    message = QStringLiteral("unknown event field ") + quoted(key) +
              QStringLiteral(" (expected code, header, user, group, login, ip, server, date, time)");
    return false;
}

bool parseEvent(const QVector<QByteArray>& tokens, ReplayStep& step, QString& message)
{
    EventRecord record;
    QVector<QByteArray> seen;
    for (int i = 1; i < tokens.size(); ++i) {
        const int equals = tokens[i].indexOf('=');
        if (equals <= 0) {
            message = QStringLiteral("expected key=value, got ") + quoted(tokens[i]);
            return false;
        }
        const QByteArray key = tokens[i].left(equals);
        if (seen.contains(key)) {
            message = quoted(key) + QStringLiteral(" given twice");
            return false;
        }
        seen.append(key);
        QByteArray value;
        if (!unescapeValue(tokens[i].mid(equals + 1), value, message) ||
            !setEventValue(record, key, value, message))
            return false;
    }
    step.datagram = encodeEvent(record);
    return true;
}

bool parseRaw(const QVector<QByteArray>& tokens, ReplayStep& step, QString& message)
{
    for (int i = 1; i < tokens.size(); ++i) {
        if (!appendHex(tokens[i], step.datagram, message))
            return false;
    }
    if (step.datagram.size() > MAX_UDP_PAYLOAD) {
        message = QStringLiteral("a datagram holds at most %1 bytes").arg(MAX_UDP_PAYLOAD);
        return false;
    }
    return true;
}

bool parseRawFill(const QVector<QByteArray>& tokens, ReplayStep& step, QString& message)
{
    qint64 length = 0;
    QByteArray fill;
    if (tokens.size() < 3 || !parseDecimal(tokens[1], MAX_UDP_PAYLOAD, length) || tokens[2].size() != 2 ||
        !appendHex(tokens[2], fill, message)) {
        message = QStringLiteral("expected raw-fill LENGTH BYTE [HEX...] with LENGTH from 0 to %1 and BYTE "
                                 "as two hex digits")
                      .arg(MAX_UDP_PAYLOAD);
        return false;
    }
    for (int i = 3; i < tokens.size(); ++i) {
        if (!appendHex(tokens[i], step.datagram, message))
            return false;
    }
    if (step.datagram.size() > length) {
        message = QStringLiteral("%1 leading bytes do not fit in a length of %2")
                      .arg(step.datagram.size())
                      .arg(length);
        return false;
    }
    step.datagram += QByteArray(static_cast<int>(length) - step.datagram.size(), fill[0]);
    return true;
}

bool parseLine(const QVector<QByteArray>& tokens, ReplayStep& step, QString& message)
{
    const QByteArray& directive = tokens[0];
    if (directive == "event")
        return parseEvent(tokens, step, message);
    if (directive == "raw")
        return parseRaw(tokens, step, message);
    if (directive == "raw-fill")
        return parseRawFill(tokens, step, message);
    if (directive == "wait") {
        qint64 ms = 0;
        if (tokens.size() != 2 || !parseDecimal(tokens[1], MAX_WAIT_MS, ms)) {
            message = QStringLiteral("expected wait MILLISECONDS, from 0 to %1").arg(MAX_WAIT_MS);
            return false;
        }
        step.kind = ReplayStep::Kind::Wait;
        step.waitMs = static_cast<int>(ms);
        return true;
    }
    if (directive == "wait-discover") {
        if (tokens.size() != 1) {
            message = QStringLiteral("wait-discover takes nothing after it");
            return false;
        }
        step.kind = ReplayStep::Kind::WaitDiscover;
        return true;
    }
    message = QStringLiteral("unknown directive ") + quoted(directive) +
              QStringLiteral(" (expected event, raw, raw-fill, wait or wait-discover)");
    return false;
}

} // namespace

bool unescapeValue(const QByteArray& text, QByteArray& value, QString& message)
{
    value.clear();
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            value += text[i];
            continue;
        }
        const char c = i + 1 < text.size() ? text[++i] : '\0';
        switch (c) {
        case '\\':
        case '"':
        case '#':
            value += c;
            break;
        case 'r':
            value += '\r';
            break;
        case 'n':
            value += '\n';
            break;
        case 't':
            value += '\t';
            break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                message = QStringLiteral("\\x needs two hex digits");
                return false;
            }
            value += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            message = QStringLiteral("unknown escape \\") + QString::fromLatin1(&c, 1);
            return false;
        }
    }
    return true;
}

bool parseReplay(const QByteArray& text, QVector<ReplayStep>& steps, ReplayError& error)
{
    steps.clear();
    const QList<QByteArray> lines = text.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        QVector<QByteArray> tokens;
        QString message;
        ReplayStep step;
        step.line = n + 1;
        if (!tokenize(lines[n], tokens, message) ||
            (!tokens.isEmpty() && !parseLine(tokens, step, message))) {
            error.line = n + 1;
            error.message = message;
            steps.clear();
            return false;
        }
        if (!tokens.isEmpty())
            steps.append(step);
    }
    return true;
}

bool loadReplayFile(const QString& path, QVector<ReplayStep>& steps, ReplayError& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error.line = 0;
        error.message = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return parseReplay(file.readAll(), steps, error);
}

QString replayFormatHelp()
{
    return QStringLiteral(
        "Replay file: one step a line, sent in order to the monitor. Blank lines are skipped; '#' starts\n"
        "a comment that runs to the end of the line (write \\# or \\x23 for the character itself).\n"
        "  event KEY=VALUE...    a 157-byte event datagram. Keys: code, header (0-255, default 0),\n"
        "                        user, group (40 bytes), login (15), date, time (25 each),\n"
        "                        ip, server (dotted IPv4, default 0.0.0.0). A missing text is empty.\n"
        "                        A text that fills its field is sent without a NUL.\n"
        "  raw HEX...            any datagram, as hex bytes (\"01 07 01\" or \"010701\").\n"
        "  raw-fill LEN BYTE [HEX...]  a LEN-byte datagram: the HEX bytes, then BYTE repeated.\n"
        "  wait MS               pause for MS milliseconds.\n"
        "  wait-discover         pause until a Discover packet has been answered (at any time\n"
        "                        since the start: no pause if one has been already).\n"
        "Values may be double-quoted to hold blanks (user=\"Jane Doe\") and take the escapes\n"
        "\\\\ \\\" \\# \\r \\n \\t \\xHH. Example:\n"
        "  event code=0 user=alice group=Staff login=08:00 ip=10.1.0.5 server=10.0.0.1 "
        "date=12/06/2026 time=08:00:01\n");
}
