// SPDX-License-Identifier: GPL-3.0-or-later
#include "sessionswindow/ResultTable.h"

void ResultTable::reset(const QStringList& titles)
{
    beginResetModel();
    m_titles = titles;
    m_rows.clear();
    m_shown.clear();
    endResetModel();
}

void ResultTable::append(std::vector<QByteArray> rows)
{
    const auto first = static_cast<quint32>(m_rows.size());
    if (!isFiltering()) {
        if (rows.empty())
            return;
        beginInsertRows(QModelIndex(), rowCount(), rowCount() + static_cast<int>(rows.size()) - 1);
        m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()),
                      std::make_move_iterator(rows.end()));
        endInsertRows();
        return;
    }
    std::vector<quint32> kept;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (m_matcher.in(rows[i]))
            kept.push_back(first + static_cast<quint32>(i));
    }
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    if (kept.empty())
        return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + static_cast<int>(kept.size()) - 1);
    m_shown.insert(m_shown.end(), kept.begin(), kept.end());
    endInsertRows();
}

void ResultTable::setFilter(const QString& text)
{
    beginResetModel();
    m_matcher = TextMatcher(text);
    m_shown.clear();
    if (isFiltering()) {
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            if (m_matcher.in(m_rows[i]))
                m_shown.push_back(static_cast<quint32>(i));
        }
    }
    endResetModel();
}

const QByteArray& ResultTable::row(int shown) const
{
    const auto at = static_cast<std::size_t>(shown);
    return m_rows[isFiltering() ? m_shown[at] : at];
}

int ResultTable::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(isFiltering() ? m_shown.size() : m_rows.size());
}

int ResultTable::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_titles.size());
}

QVariant ResultTable::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    const QByteArray& text = row(index.row());
    qsizetype start = 0;
    for (int column = 0; column < index.column() && start >= 0; ++column) {
        start = text.indexOf('\0', start);
        if (start >= 0)
            ++start;
    }
    if (start < 0)
        return QString();
    const qsizetype end = text.indexOf('\0', start);
    return QString::fromLatin1(text.mid(start, end < 0 ? -1 : end - start));
}

QVariant ResultTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_titles.size())
        return m_titles[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}
