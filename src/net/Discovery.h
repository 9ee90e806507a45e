// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>

constexpr std::size_t DISCOVER_PACKET_SIZE = 33;
constexpr std::size_t DISCOVERY_REPLY_SIZE = 512;

// Always the same 33 bytes: type 1, address 0, twelve "0" digits, "Discover Packet", NUL.
QByteArray DiscoverPacket();

struct DiscoveryReply {
    quint8 packetType = 0;
    quint32 serverAddress = 0; // datagram order, for FormatIPAddress
};

// A reply names its server in bytes 1 to 4; one shorter than 5 bytes names none and gives false.
bool readDiscoveryReply(const char* data, std::size_t received, DiscoveryReply& reply);

// A 21-byte reply naming `serverAddress` (datagram order), as a firewall server answers.
QByteArray encodeDiscoveryReply(quint32 serverAddress, const QByteArray& text);
