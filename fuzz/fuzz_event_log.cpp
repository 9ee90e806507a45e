// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "events/EventRecord.h"
#include "log/UserLog.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

// The text fields' offsets and widths: user, group, log-on time, date, event time.
constexpr std::size_t FIELDS[][2] = {{4, 40}, {44, 40}, {84, 15}, {107, 25}, {132, 25}};

// The datagram as the decoder must read it: bytes past the received length read as zero, and so do
// bytes 0 and 2, those after a text field's first NUL, and everything past the layout's end.
std::string canonicalDatagram(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), std::min(size, EVENT_DATAGRAM_SIZE));
    bytes.resize(EVENT_DATAGRAM_SIZE, '\0');
    bytes[0] = bytes[2] = '\0';
    for (const auto& [offset, width] : FIELDS) {
        const auto field = bytes.begin() + std::ptrdiff_t(offset);
        std::fill(std::find(field, field + std::ptrdiff_t(width), '\0'), field + std::ptrdiff_t(width), '\0');
    }
    return bytes;
}

// A field as the log shows it: a CR or LF would end the line early, so the writer puts "?" instead.
std::string logged(const char* text)
{
    std::string shown = text;
    std::replace(shown.begin(), shown.end(), '\r', '?');
    std::replace(shown.begin(), shown.end(), '\n', '?');
    return shown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65507) // the largest UDP payload
        return 0;
    const EventRecord record = decodeEvent(reinterpret_cast<const char*>(data), size);
    // Every field where the layout puts it, every text ended within its width: what the encoder
    // makes of the record is the datagram itself.
    FUZZ_CHECK(record.Username[USERNAME_WIDTH] == '\0' && record.Groupname[GROUPNAME_WIDTH] == '\0' &&
               record.LoginTime[LOGINTIME_WIDTH] == '\0' && record.Date[DATE_WIDTH] == '\0' &&
               record.EventTime[EVENTTIME_WIDTH] == '\0');
    FUZZ_CHECK(encodeEvent(record).toStdString() == canonicalDatagram(data, size));

    // Past the table a code has no keyword: the line ends in two blanks.
    const std::string expected = logged(record.EventTime) + "  " + logged(record.Date) + "  " +
                                 FormatIPAddress(record.ServerIPAddress).toStdString() + "  " +
                                 logged(record.Username) + "  " + eventKeyword(record.EventCode) + "\r\n";
    FUZZ_CHECK(formatLogLine(record).toStdString() == expected);
    return 0;
}
