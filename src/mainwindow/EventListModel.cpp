// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/EventListModel.h"

#include "events/EventCodes.h"

#include <QBrush>
#include <QColor>

#include <cstring>

EventListModel::EventListModel(QObject* parent, quint64 maxRows, std::size_t textChunkSize)
    : TextTableModel({"Date", "LoginTime", "ServerIPAddress", "Username", "EventMessage"}, parent),
      m_text(textChunkSize), m_maxRows(maxRows)
{
    m_messageMatches.found.fill(-1);
}

EventListModel::~EventListModel() = default;

void EventListModel::insertEvent(const EventRecord& record)
{
    const std::size_t dateLength = strnlen(record.Date, DATE_WIDTH);
    const std::size_t timeLength = strnlen(record.EventTime, EVENTTIME_WIDTH);
    const std::size_t userLength = strnlen(record.Username, USERNAME_WIDTH);
    char text[DATE_WIDTH + EVENTTIME_WIDTH + USERNAME_WIDTH];
    std::memcpy(text, record.Date, dateLength);
    std::memcpy(text + dateLength, record.EventTime, timeLength);
    std::memcpy(text + dateLength + timeLength, record.Username, userLength);
    Row row;
    row.textOffset = m_text.append(text, dateLength + timeLength + userLength);
    row.serverAddress = record.ServerIPAddress;
    row.code = static_cast<quint8>(record.EventCode);
    row.dateLength = static_cast<quint8>(dateLength);
    row.timeLength = static_cast<quint8>(timeLength);
    row.userLength = static_cast<quint8>(userLength);
    if (m_maxRows != 0 && m_rows.size() >= m_maxRows) {
        const int last = static_cast<int>(m_rows.size()) - 1;
        beginRemoveRows(QModelIndex(), last, last);
        m_rows.pop_front();
        endRemoveRows();
        ++m_dropped;
        m_text.releaseBefore(m_rows.empty() ? row.textOffset : m_rows.front().textOffset);
    }
    beginInsertRows(QModelIndex(), 0, 0);
    m_rows.push_back(row);
    endInsertRows();
}

int EventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QByteArray EventListModel::cellText(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    const Row& r = rowAt(row);
    const char* t = m_text.at(r.textOffset);
    switch (column) {
    case 0:
        return QByteArray(t, r.dateLength);
    case 1:
        return QByteArray(t + r.dateLength, r.timeLength);
    case 2:
        return FormatIPAddress(r.serverAddress);
    case 3:
        return QByteArray(t + r.dateLength + r.timeLength, r.userLength);
    case 4:
        return eventMessage(r.code);
    }
    return {};
}

bool EventListModel::rowContains(int row, const TextMatcher& matcher) const
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return false;
    // Runs for every row when the filter changes: no text is copied.
    const Row& r = rowAt(row);
    const char* t = m_text.at(r.textOffset);
    if (matcher.in(t, r.dateLength) || matcher.in(t + r.dateLength, r.timeLength) ||
        matcher.in(t + r.dateLength + r.timeLength, r.userLength))
        return true;
    char server[16];
    if (matcher.in(server, static_cast<std::size_t>(formatIPAddressTo(r.serverAddress, server))))
        return true;
    return messageContains(r.code, matcher);
}

bool EventListModel::messageContains(quint8 code, const TextMatcher& matcher) const
{
    if (!(m_messageMatches.matcher == matcher)) {
        m_messageMatches.matcher = matcher;
        m_messageMatches.found.fill(-1);
    }
    qint8& found = m_messageMatches.found[code];
    if (found < 0)
        found = matcher.in(eventMessage(code)) ? 1 : 0;
    return found != 0;
}

QVariant EventListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::BackgroundRole && role != Qt::ForegroundRole)
        return TextTableModel::data(index, role);
    // The Help window's legend names these colours.
    QColor background;
    switch (eventCodeInfo(eventCode(index.row())).colour) {
    case ListColour::Red:
        background = QColor(0xF6, 0xC6, 0xC6);
        break;
    case ListColour::Amber:
        background = QColor(0xFC, 0xE4, 0xB0);
        break;
    case ListColour::Blue:
        background = QColor(0xC8, 0xDC, 0xF8);
        break;
    case ListColour::Plain:
        return {};
    }
    // Dark text on the light colour whatever the desktop's theme.
    return role == Qt::BackgroundRole ? QBrush(background) : QBrush(Qt::black);
}

quint32 EventListModel::eventCode(int row) const
{
    return row >= 0 && row < static_cast<int>(m_rows.size()) ? rowAt(row).code : 0;
}

std::size_t EventListModel::bytesUsed() const
{
    return m_rows.size() * sizeof(Row) + m_text.bytesUsed();
}
