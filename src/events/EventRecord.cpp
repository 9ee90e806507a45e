// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/EventRecord.h"

#include <cstring>

namespace
{

constexpr std::size_t OFF_HEADER = 1;
constexpr std::size_t OFF_CODE = 3;
constexpr std::size_t OFF_USERNAME = 4;
constexpr std::size_t OFF_GROUPNAME = 44;
constexpr std::size_t OFF_LOGINTIME = 84;
constexpr std::size_t OFF_IPADDRESS = 99;
constexpr std::size_t OFF_SERVERIP = 103;
constexpr std::size_t OFF_DATE = 107;
constexpr std::size_t OFF_EVENTTIME = 132;

void copyText(char* field, const unsigned char* datagram, std::size_t offset, std::size_t width)
{
    std::memcpy(field, datagram + offset, width);
    field[width] = '\0';
}

void putText(char* datagram, std::size_t offset, std::size_t width, const char* text)
{
    std::memcpy(datagram + offset, text, strnlen(text, width));
}

} // namespace

EventRecord decodeEvent(const char* data, std::size_t received)
{
    unsigned char bytes[EVENT_DATAGRAM_SIZE] = {};
    if (received != 0) // an empty datagram may come with no buffer at all
        std::memcpy(bytes, data, received < EVENT_DATAGRAM_SIZE ? received : EVENT_DATAGRAM_SIZE);

    EventRecord record;
    record.Header = bytes[OFF_HEADER];
    record.EventCode = bytes[OFF_CODE];
    copyText(record.Username, bytes, OFF_USERNAME, USERNAME_WIDTH);
    copyText(record.Groupname, bytes, OFF_GROUPNAME, GROUPNAME_WIDTH);
    copyText(record.LoginTime, bytes, OFF_LOGINTIME, LOGINTIME_WIDTH);
    std::memcpy(&record.IPAddress, bytes + OFF_IPADDRESS, 4);
    std::memcpy(&record.ServerIPAddress, bytes + OFF_SERVERIP, 4);
    copyText(record.Date, bytes, OFF_DATE, DATE_WIDTH);
    copyText(record.EventTime, bytes, OFF_EVENTTIME, EVENTTIME_WIDTH);
    return record;
}

QByteArray encodeEvent(const EventRecord& record)
{
    QByteArray datagram(EVENT_DATAGRAM_SIZE, '\0');
    char* bytes = datagram.data();
    bytes[OFF_HEADER] = static_cast<char>(record.Header & 0xFF);
    bytes[OFF_CODE] = static_cast<char>(record.EventCode & 0xFF);
    putText(bytes, OFF_USERNAME, USERNAME_WIDTH, record.Username);
    putText(bytes, OFF_GROUPNAME, GROUPNAME_WIDTH, record.Groupname);
    putText(bytes, OFF_LOGINTIME, LOGINTIME_WIDTH, record.LoginTime);
    std::memcpy(bytes + OFF_IPADDRESS, &record.IPAddress, 4);
    std::memcpy(bytes + OFF_SERVERIP, &record.ServerIPAddress, 4);
    putText(bytes, OFF_DATE, DATE_WIDTH, record.Date);
    putText(bytes, OFF_EVENTTIME, EVENTTIME_WIDTH, record.EventTime);
    return datagram;
}

void setField(char* field, std::size_t width, const QByteArray& text)
{
    const std::size_t length = std::min<std::size_t>(width, static_cast<std::size_t>(text.size()));
    std::memcpy(field, text.constData(), length);
    field[length] = '\0';
}
