// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/Address.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace
{

// A decimal number of at most `maxDigits` digits, nothing else.
bool parseDigits(QStringView text, int maxDigits, quint32& value)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + static_cast<quint32>(c.unicode() - '0');
    }
    return true;
}

bool isHostName(QStringView name)
{
    if (name.isEmpty() || name.size() > 253 || name.startsWith(QLatin1Char('.')) ||
        name.startsWith(QLatin1Char('-')))
        return false;
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('.') || c == QLatin1Char('-');
    });
}

} // namespace

int formatIPAddressTo(quint32 address, char* text)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, 4);
    // "%u.%u.%u.%u" by hand: this runs several times for every event.
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned value = bytes[i];
        if (value >= 100)
            text[n++] = static_cast<char>('0' + value / 100);
        if (value >= 10)
            text[n++] = static_cast<char>('0' + value / 10 % 10);
        text[n++] = static_cast<char>('0' + value % 10);
        text[n++] = '.';
    }
    return n - 1;
}

QByteArray FormatIPAddress(quint32 address)
{
    char text[16];
    return QByteArray(text, formatIPAddressTo(address, text));
}

quint32 ipAddressFromBytes(quint8 a, quint8 b, quint8 c, quint8 d)
{
    const unsigned char bytes[4] = {a, b, c, d};
    quint32 address;
    std::memcpy(&address, bytes, 4);
    return address;
}

quint32 datagramOrder(quint32 hostOrder)
{
    return qToBigEndian(hostOrder);
}

bool parseIPv4(QStringView text, quint32& hostOrder, QString* problem)
{
    quint32 address = 0;
    int parts = 0;
    for (const QStringView part : text.split(QLatin1Char('.'))) {
        quint32 number = 0;
        if (++parts > 4 || !parseDigits(part, 3, number) || number > 255)
            return false;
        if (part.size() > 1 && part.front() == QLatin1Char('0')) {
            if (problem)
                *problem = QStringLiteral("%1 has a leading zero, which some programs read as octal")
                               .arg(part.toString());
            return false;
        }
        address = address << 8 | number;
    }
    if (parts != 4)
        return false;
    hostOrder = address;
    return true;
}

bool parseHost(QStringView text, QString& host, QString* problem)
{
    QString why;
    quint32 address = 0;
    if (parseIPv4(text, address, &why)) {
        host = QString::fromLatin1(FormatIPAddress(datagramOrder(address)));
        return true;
    }
    in_addr resolved{};
    if (why.isEmpty() && ::inet_aton(text.toLatin1().constData(), &resolved) != 0)
        why = QStringLiteral("\"%1\" is a shortened, hex or octal form of an address; write it as four "
                             "decimal numbers a.b.c.d")
                  .arg(text.toString());
    const bool numeric =
        std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit() || c == QLatin1Char('.'); });
    if (!why.isEmpty() || numeric || !isHostName(text)) {
        if (problem)
            *problem = why;
        return false;
    }
    host = text.toString().toLower();
    return true;
}

bool parsePort(QStringView text, quint16& port, quint16 min)
{
    quint32 number = 0;
    if (!parseDigits(text, 5, number) || number < min || number > 65535)
        return false;
    port = static_cast<quint16>(number);
    return true;
}

bool parseAddressPort(QStringView text, quint32& hostOrder, quint16& port, quint16 defaultPort,
                      QString* problem)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    quint32 address = 0;
    quint16 number = defaultPort;
    if (colon < 0 ? defaultPort == 0 || !parseIPv4(text, address, problem)
                  : !parseIPv4(text.left(colon), address, problem) || !parsePort(text.mid(colon + 1), number))
        return false;
    hostOrder = address;
    port = number;
    return true;
}

bool AllowList::parse(QStringView text, QString* badEntry, QString* problem)
{
    std::vector<Block> blocks;
    QStringList entries;
    for (const QStringView raw : text.split(QLatin1Char(','))) {
        const QStringView entry = raw.trimmed();
        const qsizetype slash = entry.indexOf(QLatin1Char('/'));
        quint32 address = 0;
        quint32 bits = 32;
        if (!parseIPv4(slash < 0 ? entry : entry.left(slash), address, problem) ||
            (slash >= 0 && (!parseDigits(entry.mid(slash + 1), 2, bits) || bits > 32))) {
            if (badEntry)
                *badEntry = entry.toString();
            return false;
        }
        const quint32 mask = bits == 0 ? 0 : ~quint32(0) << (32 - bits);
        blocks.push_back({address & mask, mask});
        entries << QString::fromLatin1(FormatIPAddress(datagramOrder(address))) +
                       (slash < 0 ? QString() : QStringLiteral("/%1").arg(bits));
    }
    m_blocks = std::move(blocks);
    m_entries = std::move(entries);
    return true;
}

QString AllowList::text() const
{
    return m_entries.isEmpty() ? QStringLiteral("any sender") : m_entries.join(QStringLiteral(", "));
}

bool AllowList::allows(quint32 hostOrder) const
{
    if (m_blocks.empty())
        return true;
    for (const Block& block : m_blocks) {
        if ((hostOrder & block.mask) == block.network)
            return true;
    }
    return false;
}
