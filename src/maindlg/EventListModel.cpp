#include "maindlg/EventListModel.h"

#include <cstring>

namespace
{

constexpr int CHUNK_BITS = 20;
constexpr std::size_t CHUNK_SIZE = std::size_t(1) << CHUNK_BITS;
const char* const TITLES[] = {"Date", "LoginTime", "ServerIPAddress", "Username", "EventMessage"};

} // namespace

EventListModel::EventListModel(QObject* parent) : QAbstractTableModel(parent) {}

EventListModel::~EventListModel() = default;

const char* EventListModel::text(quint32 offset) const
{
    return m_chunks[offset >> CHUNK_BITS].get() + (offset & (CHUNK_SIZE - 1));
}

quint32 EventListModel::storeText(const char* date, std::size_t dateLength, const char* time,
                                  std::size_t timeLength, const char* user, std::size_t userLength)
{
    const std::size_t total = dateLength + timeLength + userLength;
    if (m_chunks.empty() || m_chunkUsed + total > CHUNK_SIZE) {
        m_chunks.push_back(std::make_unique<char[]>(CHUNK_SIZE));
        m_chunkUsed = 0;
    }
    char* out = m_chunks.back().get() + m_chunkUsed;
    std::memcpy(out, date, dateLength);
    std::memcpy(out + dateLength, time, timeLength);
    std::memcpy(out + dateLength + timeLength, user, userLength);
    const quint32 offset = static_cast<quint32>(((m_chunks.size() - 1) << CHUNK_BITS) | m_chunkUsed);
    m_chunkUsed += total;
    return offset;
}

void EventListModel::insertEvent(const EventRecord& record)
{
    const std::size_t dateLength = strnlen(record.Date, DATE_WIDTH);
    const std::size_t timeLength = strnlen(record.EventTime, EVENTTIME_WIDTH);
    const std::size_t userLength = strnlen(record.Username, USERNAME_WIDTH);
    Row row;
    row.textOffset =
        storeText(record.Date, dateLength, record.EventTime, timeLength, record.Username, userLength);
    row.serverAddress = record.ServerIPAddress;
    row.code = static_cast<quint8>(record.EventCode);
    row.dateLength = static_cast<quint8>(dateLength);
    row.timeLength = static_cast<quint8>(timeLength);
    row.userLength = static_cast<quint8>(userLength);
    beginInsertRows(QModelIndex(), 0, 0);
    m_rows.push_back(row);
    endInsertRows();
}

int EventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int EventListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 5;
}

QByteArray EventListModel::cellText(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    const Row& r = m_rows[m_rows.size() - 1 - static_cast<std::size_t>(row)];
    const char* t = text(r.textOffset);
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

QVariant EventListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return {};
    return QString::fromLatin1(cellText(index.row(), index.column()));
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 5)
        return {};
    return QString::fromLatin1(TITLES[section]);
}

std::size_t EventListModel::bytesUsed() const
{
    return m_rows.capacity() * sizeof(Row) + m_chunks.size() * CHUNK_SIZE;
}
