// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "events/EventRecord.h"
#include "log/LogReader.h"
#include "log/UserLog.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace
{

constexpr std::size_t LARGEST_UDP_PAYLOAD = 65507;
constexpr std::size_t LONGEST_LINE = 135;

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
    for (std::size_t i = 0; i < field.width; ++i) {
        const unsigned char c = byteAt(data, size, field.offset + i);
        if (c == 0)
            break;
        text.push_back(static_cast<char>(c));
    }
    return text;
}

quint32 addressAt(const std::uint8_t* data, std::size_t size, std::size_t offset)
{
    const unsigned char bytes[4] = {byteAt(data, size, offset), byteAt(data, size, offset + 1),
                                    byteAt(data, size, offset + 2), byteAt(data, size, offset + 3)};
    quint32 address;
    std::memcpy(&address, bytes, 4);
    return address;
}

void checkText(const char* decoded, std::size_t width, const std::string& expected)
{
    FUZZ_CHECK(decoded[width] == '\0');
    FUZZ_CHECK(std::strlen(decoded) == expected.size());
    FUZZ_CHECK(std::memcmp(decoded, expected.data(), expected.size()) == 0);
}

// What the datagram holds once everything the decoder ignores is zeroed: bytes 0 and 2, the bytes
// after a field's first NUL, and everything past byte 156.
std::string canonicalDatagram(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(EVENT_DATAGRAM_SIZE, '\0');
    for (std::size_t i = 0; i < EVENT_DATAGRAM_SIZE; ++i)
        bytes[i] = static_cast<char>(byteAt(data, size, i));
    bytes[0] = '\0';
    bytes[2] = '\0';
    for (Field field : {USERNAME, GROUPNAME, LOGINTIME, DATE, EVENTTIME}) {
        const std::size_t length = fieldText(data, size, field).size();
        for (std::size_t i = length; i < field.width; ++i)
            bytes[field.offset + i] = '\0';
    }
    return bytes;
}

bool sameRecord(const EventRecord& a, const EventRecord& b)
{
    return a.Header == b.Header && a.EventCode == b.EventCode && std::strcmp(a.Username, b.Username) == 0 &&
           std::strcmp(a.Groupname, b.Groupname) == 0 && std::strcmp(a.LoginTime, b.LoginTime) == 0 &&
           a.IPAddress == b.IPAddress && a.ServerIPAddress == b.ServerIPAddress &&
           std::strcmp(a.Date, b.Date) == 0 && std::strcmp(a.EventTime, b.EventTime) == 0;
}

// A field as the log shows it: a CR or LF would end the line early, so the writer puts "?" instead.
std::string logged(const char* text)
{
    std::string out(text);
    for (char& c : out) {
        if (c == '\r' || c == '\n')
            c = '?';
    }
    return out;
}

std::string dotted(quint32 address)
{
    unsigned char b[4];
    std::memcpy(b, &address, 4);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isOneRun(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (isBlank(c))
            return false;
    }
    return true;
}

void checkDecoded(const std::uint8_t* data, std::size_t size, const EventRecord& record)
{
    FUZZ_CHECK(record.Header == byteAt(data, size, 1));
    FUZZ_CHECK(record.EventCode == byteAt(data, size, 3));
    checkText(record.Username, USERNAME.width, fieldText(data, size, USERNAME));
    checkText(record.Groupname, GROUPNAME.width, fieldText(data, size, GROUPNAME));
    checkText(record.LoginTime, LOGINTIME.width, fieldText(data, size, LOGINTIME));
    checkText(record.Date, DATE.width, fieldText(data, size, DATE));
    checkText(record.EventTime, EVENTTIME.width, fieldText(data, size, EVENTTIME));
    FUZZ_CHECK(record.IPAddress == addressAt(data, size, 99));
    FUZZ_CHECK(record.ServerIPAddress == addressAt(data, size, 103));
}

void checkLogLine(const EventRecord& record)
{
    const std::string address = dotted(record.ServerIPAddress);
    FUZZ_CHECK(FormatIPAddress(record.ServerIPAddress).toStdString() == address);
    FUZZ_CHECK(address.size() >= 7 && address.size() <= 15);

    const char* keyword = eventKeyword(record.EventCode);
    FUZZ_CHECK(record.EventCode < EVENT_CODE_COUNT ? keyword == EventKeywordTable[record.EventCode]
                                                   : *keyword == '\0');

    const std::string time = logged(record.EventTime);
    const std::string date = logged(record.Date);
    const std::string expected =
        time + "  " + date + "  " + address + "  " + logged(record.Username) + "  " + keyword + "\r\n";
    const QByteArray line = formatLogLine(record);
    FUZZ_CHECK(line.toStdString() == expected);
    FUZZ_CHECK(static_cast<std::size_t>(line.size()) <= LONGEST_LINE + 2);
    FUZZ_CHECK(line.endsWith("\r\n"));
    FUZZ_CHECK(line.count('\r') == 1 && line.count('\n') == 1);
    FUZZ_CHECK(!line.contains('\0'));

    // The reader gets the line back as one line, without its line end.
    const std::string_view body(line.constData(), static_cast<std::size_t>(line.size()) - 2);
    int lines = 0;
    forEachLogLine(std::string_view(line.constData(), static_cast<std::size_t>(line.size())),
                   [&](std::string_view read) {
                       ++lines;
                       FUZZ_CHECK(read == body);
                   });
    FUZZ_CHECK(lines == 1);

    // With a time and a date of one run each, the reader takes the date from where the writer put it
    // and shows the line up to its first "#".
    if (isOneRun(time) && isOneRun(date)) {
        const std::string_view shown = body.substr(0, body.find('#'));
        int pieces = 0;
        splitLogLine(body, [&](const LogPiece& piece) {
            ++pieces;
            FUZZ_CHECK(piece.hasDate && piece.dateField == date);
            FUZZ_CHECK(piece.shown == shown);
        });
        FUZZ_CHECK(pieces == (shown.empty() ? 0 : 1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > LARGEST_UDP_PAYLOAD)
        return 0;
    const EventRecord record = decodeEvent(reinterpret_cast<const char*>(data), size);
    checkDecoded(data, size, record);

    const QByteArray encoded = encodeEvent(record);
    FUZZ_CHECK(encoded.toStdString() == canonicalDatagram(data, size));
    FUZZ_CHECK(
        sameRecord(decodeEvent(encoded.constData(), static_cast<std::size_t>(encoded.size())), record));

    checkLogLine(record);
    return 0;
}
