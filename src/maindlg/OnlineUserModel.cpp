#include "maindlg/OnlineUserModel.h"

#include <algorithm>

namespace
{

const char* const TITLES[] = {"Date", "LoginTime", "IPAddress", "Username", "Groupname", "ServerIPAddress"};

QByteArray field(const QByteArray& cells, int column)
{
    qsizetype start = 0;
    for (int i = 0; i < column; ++i)
        start = cells.indexOf('\0', start) + 1;
    return cells.mid(start, cells.indexOf('\0', start) - start);
}

} // namespace

OnlineUserModel::OnlineUserModel(QObject* parent) : QAbstractTableModel(parent) {}

void OnlineUserModel::insertTop(const OnlineUser& user)
{
    Row row{m_nextSerial++, QByteArray()};
    for (const char* text :
         {user.Date, user.LoginTime, user.IPAddress, user.Username, user.Groupname, user.ServerIPAddress}) {
        row.cells.append(text);
        row.cells.append('\0');
    }
    beginInsertRows(QModelIndex(), 0, 0);
    m_serialOf[user.IPAddress] = row.serial;
    m_rows.push_back(std::move(row));
    endInsertRows();
}

int OnlineUserModel::findAddress(const QByteArray& address) const
{
    const auto found = m_serialOf.find(address.toStdString());
    if (found == m_serialOf.end())
        return -1;
    const auto at = std::lower_bound(m_rows.begin(), m_rows.end(), found->second,
                                     [](const Row& row, quint64 serial) { return row.serial < serial; });
    return static_cast<int>(m_rows.end() - at) - 1;
}

void OnlineUserModel::removeRowAt(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    const std::size_t index = storageIndex(row);
    beginRemoveRows(QModelIndex(), row, row);
    m_serialOf.erase(field(m_rows[index].cells, 2).toStdString());
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(index));
    endRemoveRows();
}

void OnlineUserModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_serialOf.clear();
    endResetModel();
}

int OnlineUserModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int OnlineUserModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 6;
}

QByteArray OnlineUserModel::cellText(int row, int column) const
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= 6)
        return {};
    return field(m_rows[storageIndex(row)].cells, column);
}

QVariant OnlineUserModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return {};
    return QString::fromLatin1(cellText(index.row(), index.column()));
}

QVariant OnlineUserModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 6)
        return {};
    return QString::fromLatin1(TITLES[section]);
}
