// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "net/Discovery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65507) // the largest UDP payload
        return 0;
    // Every prefix up to the address's end, and the whole: the short ones name nothing and leave the
    // reply as it was. Each from a buffer of exactly its size, so that a read past it is caught.
    for (std::size_t length = 0; length <= size;
         length = length < 5 ? length + 1 : std::max(size, length + 1)) {
        const std::vector<char> copy(data, data + length);
        DiscoveryReply reply{0xA5, 0x5A5A5A5A};
        const bool named = readDiscoveryReply(copy.data(), length, reply);
        FUZZ_CHECK(named == (length >= 5));
        FUZZ_CHECK(named ? reply.packetType == data[0] && std::memcmp(&reply.serverAddress, data + 1, 4) == 0
                         : reply.packetType == 0xA5 && reply.serverAddress == 0x5A5A5A5A);
    }
    return 0;
}
