// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

// The one home of IPv4 addresses and UDP ports as the monitor, the simulator and their files
// write them.

// The port on which the firewalls send events, and the one on which they answer discovery.
constexpr quint16 EVENT_PORT = 1023;
constexpr quint16 DISCOVERY_PORT = 1019;

// "%u.%u.%u.%u" of the four bytes in datagram order.
QByteArray FormatIPAddress(quint32 address);
// The same text into `text` (room for 16 bytes, no NUL added); returns its length.
int formatIPAddressTo(quint32 address, char* text);

// Builds an address in datagram order from its four dotted numbers.
quint32 ipAddressFromBytes(quint8 a, quint8 b, quint8 c, quint8 d);

// Dotted IPv4 "a.b.c.d": four decimal numbers of one to three digits up to 255, nothing else (no
// blanks, signs or shortened forms). The address in host order (a is the high byte). A number of two
// or more digits that starts with 0 is refused, since some readers take it as octal: `*problem`
// then says so.
bool parseIPv4(QStringView text, quint32& hostOrder, QString* problem = nullptr);

// A host as the operator names a peer: a dotted IPv4 address (as parseIPv4 reads it), or a host
// name of letters, digits, dots and hyphens. Text that a name resolver would take for an address in
// another form (0x7f.0.0.1, 127.1, 0177.0.0.1) is refused, never resolved. `host` receives the
// address as formatted from its parsed value, or the name in lower case.
bool parseHost(QStringView text, QString& host, QString* problem = nullptr);

// A decimal port from `min` to 65535: digits only.
bool parsePort(QStringView text, quint16& port, quint16 min = 1);

// "ADDRESS:PORT", or "ADDRESS" alone when `defaultPort` is not 0 (it is then the port).
bool parseAddressPort(QStringView text, quint32& hostOrder, quint16& port, quint16 defaultPort = 0,
                      QString* problem = nullptr);

// The address in datagram order of a host-order one, and back.
quint32 datagramOrder(quint32 hostOrder);

// The senders a monitor accepts: IPv4 addresses and CIDR blocks. Empty, it accepts every sender.
class AllowList
{
public:
    // "A.B.C.D" and "A.B.C.D/N" entries, comma-separated, blanks around them allowed. False, with
    // the first entry that is neither in `badEntry`, when the list makes no sense; the list is then
    // left as it was.
    bool parse(QStringView text, QString* badEntry = nullptr, QString* problem = nullptr);
    bool isEmpty() const { return m_blocks.empty(); }
    bool allows(quint32 hostOrder) const;
    // The entries as parsed, ", "-separated; "any sender" when empty.
    QString text() const;

private:
    struct Block {
        quint32 network;
        quint32 mask;
    };
    std::vector<Block> m_blocks;
    QStringList m_entries;
};
