// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Discovery.h"

#include <cstring>

QByteArray DiscoverPacket()
{
    static const char bytes[DISCOVER_PACKET_SIZE] = {
        0x01, 0x00, 0x00, 0x00, 0x00, '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
        'D',  'i',  's',  'c',  'o',  'v', 'e', 'r', ' ', 'P', 'a', 'c', 'k', 'e', 't', 0x00};
    return QByteArray(bytes, DISCOVER_PACKET_SIZE);
}

bool readDiscoveryReply(const char* data, std::size_t received, DiscoveryReply& reply)
{
    if (received < 5)
        return false;
    reply.packetType = static_cast<quint8>(data[0]);
    std::memcpy(&reply.serverAddress, data + 1, 4);
    return true;
}

QByteArray encodeDiscoveryReply(quint32 serverAddress, const QByteArray& text)
{
    QByteArray reply(21, '\0');
    reply[0] = 2;
    std::memcpy(reply.data() + 1, &serverAddress, 4);
    std::memcpy(reply.data() + 5, text.constData(), std::min<std::size_t>(16, text.size()));
    return reply;
}
