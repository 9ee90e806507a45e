// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/OnlineUserModel.h"

namespace
{

QByteArray field(const QByteArray& cells, int column)
{
    qsizetype start = 0;
    for (int i = 0; i < column; ++i)
        start = cells.indexOf('\0', start) + 1;
    return cells.mid(start, cells.indexOf('\0', start) - start);
}

// The four numbers of a dotted address, as the key of its row.
quint32 addressKey(const QByteArray& text)
{
    // Runs for every log-on and log-off: read the digits in place rather than splitting the text.
    quint32 key = 0;
    quint32 part = 0;
    for (const char c : text) {
        if (c == '.') {
            key = key << 8 | (part & 0xFF);
            part = 0;
        } else {
            part = part * 10 + static_cast<quint32>(c - '0');
        }
    }
    return key << 8 | (part & 0xFF);
}

} // namespace

OnlineUserModel::OnlineUserModel(QObject* parent)
    : TextTableModel({"Date", "LoginTime", "IPAddress", "Username", "Groupname", "ServerIPAddress"}, parent)
{
}

void OnlineUserModel::countAdd(std::size_t index, int delta)
{
    for (std::size_t i = index + 1; i <= m_counts.size(); i += i & (~i + 1))
        m_counts[i - 1] += delta;
}

int OnlineUserModel::countBefore(std::size_t index) const
{
    int sum = 0;
    for (std::size_t i = index; i > 0; i -= i & (~i + 1))
        sum += m_counts[i - 1];
    return sum;
}

// The storage index of the row `row` from the top: the (live - 1 - row)-th live row in storage.
std::size_t OnlineUserModel::storageIndex(int row) const
{
    int rank = m_live - 1 - row;
    std::size_t position = 0;
    std::size_t step = 1;
    while (step * 2 <= m_counts.size())
        step *= 2;
    for (; step > 0; step /= 2) {
        if (position + step <= m_counts.size() && m_counts[position + step - 1] <= rank) {
            position += step;
            rank -= m_counts[position - 1];
        }
    }
    return position;
}

int OnlineUserModel::rowOf(std::size_t index) const
{
    return m_live - 1 - countBefore(index);
}

void OnlineUserModel::rebuild()
{
    std::vector<Row> live;
    TextArena text;
    live.reserve(static_cast<std::size_t>(m_live));
    for (const Row& row : m_rows) {
        if (row.live)
            live.push_back({text.append(m_text.at(row.textOffset), row.textLength), row.textLength, true});
    }
    m_rows = std::move(live);
    m_text = std::move(text);
    m_counts.assign(std::max<std::size_t>(m_rows.size() * 2, 1024), 0);
    m_indexOf.clear();
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        countAdd(i, 1);
        m_indexOf[addressKey(field(cellsOf(m_rows[i]), 2))] = static_cast<quint32>(i);
    }
}

bool OnlineUserModel::announce()
{
    if (m_resetting)
        return false;
    if (m_batchDepth > 0 && ++m_batchChanges > ROW_SIGNALS_PER_BATCH) {
        beginResetModel();
        m_resetting = true;
        return false;
    }
    return true;
}

void OnlineUserModel::beginBatch()
{
    if (m_batchDepth++ == 0)
        m_batchChanges = 0;
}

void OnlineUserModel::endBatch()
{
    if (--m_batchDepth == 0 && m_resetting) {
        m_resetting = false;
        endResetModel();
    }
}

void OnlineUserModel::insertTop(const OnlineUser& user)
{
    QByteArray cells;
    for (const char* text :
         {user.Date, user.LoginTime, user.IPAddress, user.Username, user.Groupname, user.ServerIPAddress}) {
        cells.append(text);
        cells.append('\0');
    }
    const bool rowByRow = announce();
    if (rowByRow)
        beginInsertRows(QModelIndex(), 0, 0);
    if (m_rows.size() >= m_counts.size())
        rebuild();
    m_indexOf[addressKey(QByteArray(user.IPAddress))] = static_cast<quint32>(m_rows.size());
    countAdd(m_rows.size(), 1);
    m_rows.push_back({m_text.append(cells.constData(), static_cast<std::size_t>(cells.size())),
                      static_cast<quint16>(cells.size()), true});
    ++m_live;
    if (rowByRow)
        endInsertRows();
}

int OnlineUserModel::findAddress(const QByteArray& address) const
{
    const auto found = m_indexOf.find(addressKey(address));
    return found == m_indexOf.end() ? -1 : rowOf(found->second);
}

void OnlineUserModel::removeRowAt(int row)
{
    if (row < 0 || row >= m_live)
        return;
    const std::size_t index = storageIndex(row);
    const bool rowByRow = announce();
    if (rowByRow)
        beginRemoveRows(QModelIndex(), row, row);
    m_indexOf.erase(addressKey(field(cellsOf(m_rows[index]), 2)));
    m_rows[index].live = false;
    countAdd(index, -1);
    --m_live;
    if (m_rows.size() > 1024 && static_cast<std::size_t>(m_live) < m_rows.size() / 2)
        rebuild();
    if (rowByRow)
        endRemoveRows();
}

void OnlineUserModel::clear()
{
    const bool rowByRow = !m_resetting;
    if (rowByRow)
        beginResetModel();
    m_rows.clear();
    m_text.clear();
    m_counts.clear();
    m_indexOf.clear();
    m_live = 0;
    if (rowByRow)
        endResetModel();
}

int OnlineUserModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_live;
}

QByteArray OnlineUserModel::cellText(int row, int column) const
{
    if (row < 0 || row >= m_live || column < 0 || column >= 6)
        return {};
    return field(cellsOf(m_rows[storageIndex(row)]), column);
}

bool OnlineUserModel::rowContains(int row, const TextMatcher& matcher) const
{
    if (row < 0 || row >= m_live)
        return false;
    // A typed text holds no NUL, so a match in the cells laid end to end is a match in one cell.
    const Row& r = m_rows[storageIndex(row)];
    return matcher.in(m_text.at(r.textOffset), r.textLength);
}
