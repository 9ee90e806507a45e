// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "events/EventRecord.h"
#include "log/UserLog.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace
{

struct Field {
    std::size_t offset;
    std::size_t width;
};

constexpr Field USERNAME{4, 40};
constexpr Field GROUPNAME{44, 40};
constexpr Field LOGINTIME{84, 15};
constexpr Field DATE{107, 25};
constexpr Field EVENTTIME{132, 25};

// The datagram as the decoder must see it: bytes past the received length read as zero.
unsigned char byteAt(const std::uint8_t* data, std::size_t size, std::size_t i)
{
    return i < size ? data[i] : 0;
}

// A text field ends at its first NUL, or fills its whole width.
std::string fieldText(const std::uint8_t* data, std::size_t size, Field field)
{
    std::string text;
    for (std::size_t i = 0; i < field.width && byteAt(data, size, field.offset + i) != 0; ++i)
        text.push_back(static_cast<char>(byteAt(data, size, field.offset + i)));
    return text;
}

quint32 addressAt(const std::uint8_t* data, std::size_t size, std::size_t offset)
{
    quint32 address;
    for (std::size_t i = 0; i < 4; ++i)
        reinterpret_cast<unsigned char*>(&address)[i] = byteAt(data, size, offset + i);
    return address;
}

void checkText(const char* decoded, std::size_t width, const std::string& expected)
{
    FUZZ_CHECK(decoded[width] == '\0' && decoded == expected);
}

// What the datagram holds once everything the decoder ignores is zeroed: bytes 0 and 2, the bytes
// after a field's first NUL, and everything past byte 156.
std::string canonicalDatagram(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), std::min(size, EVENT_DATAGRAM_SIZE));
    bytes.resize(EVENT_DATAGRAM_SIZE, '\0');
    bytes[0] = bytes[2] = '\0';
    for (Field field : {USERNAME, GROUPNAME, LOGINTIME, DATE, EVENTTIME})
        std::fill(bytes.begin() + field.offset + fieldText(data, size, field).size(),
                  bytes.begin() + field.offset + field.width, '\0');
    return bytes;
}

// A field as the log shows it: a CR or LF would end the line early, so the writer puts "?" instead.
std::string logged(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', '?');
    std::replace(text.begin(), text.end(), '\n', '?');
    return text;
}

std::string dotted(quint32 address)
{
    unsigned char b[4];
    std::memcpy(b, &address, 4);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65507) // the largest UDP payload
        return 0;
    const EventRecord record = decodeEvent(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(record.Header == byteAt(data, size, 1));
    FUZZ_CHECK(record.EventCode == byteAt(data, size, 3));
    checkText(record.Username, USERNAME.width, fieldText(data, size, USERNAME));
    checkText(record.Groupname, GROUPNAME.width, fieldText(data, size, GROUPNAME));
    checkText(record.LoginTime, LOGINTIME.width, fieldText(data, size, LOGINTIME));
    checkText(record.Date, DATE.width, fieldText(data, size, DATE));
    checkText(record.EventTime, EVENTTIME.width, fieldText(data, size, EVENTTIME));
    FUZZ_CHECK(record.IPAddress == addressAt(data, size, 99));
    FUZZ_CHECK(record.ServerIPAddress == addressAt(data, size, 103));

    FUZZ_CHECK(encodeEvent(record).toStdString() == canonicalDatagram(data, size));

    // Past the table a code has no keyword: the line ends in two blanks.
    const char* keyword = eventKeyword(record.EventCode);
    const std::string expected = logged(record.EventTime) + "  " + logged(record.Date) + "  " +
                                 dotted(record.ServerIPAddress) + "  " + logged(record.Username) + "  " +
                                 keyword + "\r\n";
    FUZZ_CHECK(formatLogLine(record).toStdString() == expected);
    return 0;
}
