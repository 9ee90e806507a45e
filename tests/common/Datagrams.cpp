// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"

#include <QtEndian>

const QByteArray DISCOVER_PACKET =
    QByteArray::fromHex("0100000000303030303030303030303030446973636f766572205061636b657400");

quint32 ip(quint8 a, quint8 b, quint8 c, quint8 d)
{
    return qToBigEndian(quint32(a) << 24 | quint32(b) << 16 | quint32(c) << 8 | d);
}

QByteArray eventDatagram(quint8 code, const QByteArray& user, const QByteArray& group, quint32 userAddress,
                         quint32 serverAddress, const QByteArray& date, const QByteArray& time,
                         const QByteArray& login, quint8 header)
{
    QByteArray d(157, '\0');
    d[1] = static_cast<char>(header);
    d[3] = static_cast<char>(code);
    d.replace(4, user.size(), user);
    d.replace(44, group.size(), group);
    d.replace(84, login.size(), login);
    d.replace(99, 4, QByteArray(reinterpret_cast<const char*>(&userAddress), 4));
    d.replace(103, 4, QByteArray(reinterpret_cast<const char*>(&serverAddress), 4));
    d.replace(107, date.size(), date);
    d.replace(132, time.size(), time);
    d.truncate(157);
    return d;
}

QByteArray discoveryReply(quint32 server, int size)
{
    QByteArray reply(21, '\0');
    reply[0] = 2;
    reply.replace(1, 4, QByteArray(reinterpret_cast<const char*>(&server), 4));
    reply.replace(5, 2, "fw");
    reply.resize(size, '\0');
    return reply;
}

QByteArray everyByte()
{
    QByteArray bytes;
    for (int b = 1; b < 256; ++b)
        bytes += char(b);
    return bytes;
}
