// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "net/Discovery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

constexpr std::size_t TEXT_OFFSET = 5;
constexpr std::size_t TEXT_WIDTH = 16;

// Reads a reply of `size` bytes from a buffer of exactly that size, so that a read past the
// received bytes is caught; returns whether it named a server.
bool readExactly(const void* data, std::size_t size, DiscoveryReply& reply)
{
    const std::vector<char> copy(static_cast<const char*>(data), static_cast<const char*>(data) + size);
    return readDiscoveryReply(copy.data(), size, reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65507) // the largest UDP payload
        return 0;
    // Every prefix up to the address's end: the short ones name nothing and leave the reply as it was.
    for (std::size_t length = 0; length <= std::min(size, TEXT_OFFSET); ++length) {
        DiscoveryReply reply{0xA5, 0x5A5A5A5A};
        const bool named = readExactly(data, length, reply);
        FUZZ_CHECK(named == (length >= TEXT_OFFSET));
        FUZZ_CHECK(named || (reply.packetType == 0xA5 && reply.serverAddress == 0x5A5A5A5A));
    }
    DiscoveryReply reply;
    const bool named = readExactly(data, size, reply);
    FUZZ_CHECK(named == (size >= TEXT_OFFSET));
    if (!named)
        return 0;
    // The server is named by bytes 1 to 4 as they stand (datagram order).
    FUZZ_CHECK(reply.packetType == data[0]);
    FUZZ_CHECK(std::memcmp(&reply.serverAddress, data + 1, 4) == 0);

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
    FUZZ_CHECK(readExactly(sent.constData(), static_cast<std::size_t>(sent.size()), again));
    FUZZ_CHECK(again.packetType == 2 && again.serverAddress == reply.serverAddress);
    return 0;
}
