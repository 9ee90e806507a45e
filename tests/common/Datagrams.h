// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

// Datagrams laid out by hand at their offsets, independent of the monitor's own encoder.

// An address in datagram order (the four bytes as they stand in a datagram) from its numbers.
quint32 ip(quint8 a, quint8 b, quint8 c, quint8 d);

// A 157-byte event datagram; addresses in datagram order.
QByteArray eventDatagram(quint8 code, const QByteArray& user, const QByteArray& group = "Staff",
                         quint32 userAddress = 0, quint32 serverAddress = 0,
                         const QByteArray& date = "12/06/2026", const QByteArray& time = "10:00:00",
                         const QByteArray& login = "09:59", quint8 header = 0);

// The bytes 1 to 255 in order: fields that hold every byte but NUL, 40 at a time.
QByteArray everyByte();

// A 21-byte discovery reply naming `server` (datagram order), cut or padded to `size` bytes.
QByteArray discoveryReply(quint32 server, int size = 21);

// The 33 bytes of every Discover packet.
extern const QByteArray DISCOVER_PACKET;
