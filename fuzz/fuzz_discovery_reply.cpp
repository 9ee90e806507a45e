// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "events/EventRecord.h"
#include "net/Discovery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace
{

constexpr std::size_t LARGEST_UDP_PAYLOAD = 65507;
constexpr std::size_t TEXT_OFFSET = 5;
constexpr std::size_t TEXT_WIDTH = 16;

// Reads a reply of `size` bytes from a buffer of exactly that size, so that a read past the
// received bytes is caught; returns whether it named a server.
bool readExactly(const std::uint8_t* data, std::size_t size, DiscoveryReply& reply)
{
    const std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), data, size);
    return readDiscoveryReply(copy.get(), size, reply);
}

void checkDiscoverPacket()
{
    static const bool checked = [] {
        const char expected[DISCOVER_PACKET_SIZE + 1] = "\x01\x00\x00\x00\x00"
                                                        "000000000000Discover Packet";
        const QByteArray packet = DiscoverPacket();
        FUZZ_CHECK(packet.size() == static_cast<qsizetype>(DISCOVER_PACKET_SIZE));
        FUZZ_CHECK(std::memcmp(packet.constData(), expected, DISCOVER_PACKET_SIZE) == 0);
        return true;
    }();
    (void)checked;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    checkDiscoverPacket();
    if (size > LARGEST_UDP_PAYLOAD)
        return 0;

    // Every prefix up to the address's end: the short ones name nothing and leave the reply as it was.
    for (std::size_t length = 0; length <= std::min<std::size_t>(size, TEXT_OFFSET); ++length) {
        DiscoveryReply reply;
        reply.packetType = 0xA5;
        reply.serverAddress = 0x5A5A5A5A;
        const bool named = readExactly(data, length, reply);
        FUZZ_CHECK(named == (length >= TEXT_OFFSET));
        if (!named)
            FUZZ_CHECK(reply.packetType == 0xA5 && reply.serverAddress == 0x5A5A5A5A);
    }

    DiscoveryReply reply;
    if (!readExactly(data, size, reply)) {
        FUZZ_CHECK(size < TEXT_OFFSET);
        return 0;
    }
    FUZZ_CHECK(size >= TEXT_OFFSET);
    FUZZ_CHECK(reply.packetType == data[0]);
    FUZZ_CHECK(std::memcmp(&reply.serverAddress, data + 1, 4) == 0);

    // The server is named by bytes 1 to 4 in dotted form, the byte at offset 1 first.
    char expected[16];
    const int length =
        std::snprintf(expected, sizeof expected, "%u.%u.%u.%u", data[1], data[2], data[3], data[4]);
    const QByteArray server = FormatIPAddress(reply.serverAddress);
    FUZZ_CHECK(length >= 7 && length <= 15);
    FUZZ_CHECK(server == QByteArray(expected, length));

    // The reply a firewall server sends for that address names the same server and carries the text.
    const std::size_t textLength = std::min(size - TEXT_OFFSET, TEXT_WIDTH);
    const QByteArray text(reinterpret_cast<const char*>(data) + TEXT_OFFSET,
                          static_cast<qsizetype>(textLength));
    const QByteArray sent = encodeDiscoveryReply(reply.serverAddress, text);
    FUZZ_CHECK(sent.size() == static_cast<qsizetype>(TEXT_OFFSET + TEXT_WIDTH));
    FUZZ_CHECK(sent.mid(TEXT_OFFSET, static_cast<qsizetype>(textLength)) == text);
    FUZZ_CHECK(sent.mid(static_cast<qsizetype>(TEXT_OFFSET + textLength)).count('\0') ==
               static_cast<qsizetype>(TEXT_WIDTH - textLength));
    DiscoveryReply again;
    FUZZ_CHECK(readExactly(reinterpret_cast<const std::uint8_t*>(sent.constData()),
                           static_cast<std::size_t>(sent.size()), again));
    FUZZ_CHECK(again.serverAddress == reply.serverAddress);
    return 0;
}
