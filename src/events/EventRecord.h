// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/Address.h"
#include "events/EventCodes.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>

// Offsets and widths of the event datagram as the firewall servers send it.
constexpr std::size_t EVENT_DATAGRAM_SIZE = 157;
constexpr std::size_t MIN_EVENT_DATAGRAM_SIZE = 4; // up to the event code, byte 3
constexpr std::size_t MAX_DATAGRAM_SIZE = 512;
constexpr std::size_t USERNAME_WIDTH = 40;
constexpr std::size_t GROUPNAME_WIDTH = 40;
constexpr std::size_t LOGINTIME_WIDTH = 15;
constexpr std::size_t DATE_WIDTH = 25;
constexpr std::size_t EVENTTIME_WIDTH = 25;

struct EventRecord {
    quint32 Header = 0;
    quint32 EventCode = 0;
    char Username[USERNAME_WIDTH + 1] = {};
    char Groupname[GROUPNAME_WIDTH + 1] = {};
    char LoginTime[LOGINTIME_WIDTH + 1] = {};
    quint32 IPAddress = 0;       // the four bytes in datagram order
    quint32 ServerIPAddress = 0; // likewise
    char Date[DATE_WIDTH + 1] = {};
    char EventTime[EVENTTIME_WIDTH + 1] = {};
};

// Decodes the first 157 bytes; bytes past `received` read as zero.
EventRecord decodeEvent(const char* data, std::size_t received);

// The 157-byte datagram that decodes back to `record` (for tests and the simulator).
QByteArray encodeEvent(const EventRecord& record);

// Copies `text` into a fixed field of `width`, cut at the width.
void setField(char* field, std::size_t width, const QByteArray& text);
