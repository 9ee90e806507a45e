// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/RowFilterModel.h"

#include <vector>

RowFilterModel::RowFilterModel(TextTableModel* source, QObject* parent)
    : QAbstractTableModel(parent), m_source(source), m_sourceRows(source->rowCount())
{
    // Unfiltered, each change of the source passes through as it comes.
    connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) {
                if (!m_filtering)
                    beginInsertRows(QModelIndex(), first, last);
            });
    // The mapping follows the source before any notice ends, so that whatever reads the rows during
    // the notice reads them as they now stand.
    connect(source, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        m_sourceRows = m_source->rowCount();
        if (m_filtering)
            sourceRowsInserted(first, last);
        else
            endInsertRows();
    });
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                if (m_filtering)
                    sourceRowsAboutToBeRemoved(first, last);
                else
                    beginRemoveRows(QModelIndex(), first, last);
            });
    connect(source, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
        m_sourceRows = m_source->rowCount();
        if (m_filtering)
            sourceRowsRemoved(first, last);
        else
            endRemoveRows();
    });
    // A text table is read-only under fixed titles: besides rows, only a reset changes it.
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(source, &QAbstractItemModel::modelReset, this, [this] {
        rebuild();
        endResetModel();
    });
}

void RowFilterModel::setFilter(const QString& text, std::function<bool(int sourceRow)> accept)
{
    TextMatcher matcher(text);
    // Unfiltered stays unfiltered: the view keeps its place and selection.
    if (!m_filtering && matcher.isEmpty() && !accept)
        return;
    beginResetModel();
    m_matcher = std::move(matcher);
    m_accept = std::move(accept);
    m_filtering = !m_matcher.isEmpty() || m_accept;
    rebuild();
    endResetModel();
}

bool RowFilterModel::accepts(int sourceRow) const
{
    return (!m_accept || m_accept(sourceRow)) &&
           (m_matcher.isEmpty() || m_source->rowContains(sourceRow, m_matcher));
}

void RowFilterModel::rebuild()
{
    m_index.clear();
    m_shift = 0;
    m_sourceRows = m_source->rowCount();
    if (!m_filtering)
        return;
    for (int bottom = 0; bottom < m_sourceRows; ++bottom) {
        if (accepts(m_sourceRows - 1 - bottom))
            m_index.push_back(static_cast<quint32>(bottom));
    }
}

std::size_t RowFilterModel::positionOf(quint32 bottom) const
{
    // The first position whose row is at or above `bottom`; the numbers ascend.
    std::size_t low = 0;
    std::size_t high = m_index.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (bottomAt(middle) < bottom)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

void RowFilterModel::sourceRowsInserted(int first, int last)
{
    const int count = last - first + 1;
    const int rows = m_source->rowCount();
    const int before = static_cast<int>(m_index.size());
    // A new row at the top, as every event comes: one test, and its number at the end.
    if (first == 0 && count == 1) {
        if (!accepts(0))
            return;
        beginInsertRows(QModelIndex(), 0, 0);
        m_index.push_back(static_cast<quint32>(rows - 1) + m_shift);
        endInsertRows();
        return;
    }
    // The rows above the new ones move up by `count` from the bottom; those below keep their number.
    const auto from = static_cast<quint32>(rows - count - first);
    const std::size_t at = positionOf(from);
    for (std::size_t i = at; i < m_index.size(); ++i)
        m_index[i] += static_cast<quint32>(count);
    std::vector<quint32> added;
    for (int row = last; row >= first; --row) {
        if (accepts(row))
            added.push_back(static_cast<quint32>(rows - 1 - row) + m_shift);
    }
    if (added.empty())
        return;
    const int top = before - static_cast<int>(at);
    beginInsertRows(QModelIndex(), top, top + static_cast<int>(added.size()) - 1);
    m_index.insert(m_index.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    endInsertRows();
}

void RowFilterModel::sourceRowsAboutToBeRemoved(int first, int last)
{
    const auto low = static_cast<quint32>(m_sourceRows - 1 - last);
    const auto high = static_cast<quint32>(m_sourceRows - 1 - first);
    m_removeFrom = positionOf(low);
    m_removeTo = positionOf(high + 1);
    m_removing = m_removeTo > m_removeFrom;
    if (m_removing) {
        const int size = static_cast<int>(m_index.size());
        beginRemoveRows(QModelIndex(), size - static_cast<int>(m_removeTo),
                        size - 1 - static_cast<int>(m_removeFrom));
    }
}

void RowFilterModel::sourceRowsRemoved(int first, int last)
{
    const auto count = static_cast<quint32>(last - first + 1);
    const auto from = static_cast<std::ptrdiff_t>(m_removeFrom);
    m_index.erase(m_index.begin() + from, m_index.begin() + static_cast<std::ptrdiff_t>(m_removeTo));
    // Every row above the removed ones moves down; when that is every row kept, as when the oldest
    // rows leave, one shift moves them all.
    if (m_removeFrom == 0) {
        m_shift += count;
    } else {
        for (std::size_t i = m_removeFrom; i < m_index.size(); ++i)
            m_index[i] -= count;
    }
    if (m_removing) {
        m_removing = false;
        endRemoveRows();
    }
}

int RowFilterModel::mapToSource(int row) const
{
    if (!m_filtering)
        return row;
    if (row < 0 || row >= static_cast<int>(m_index.size()))
        return -1;
    return m_sourceRows - 1 - static_cast<int>(bottomAt(m_index.size() - 1 - static_cast<std::size_t>(row)));
}

std::size_t RowFilterModel::indexBytes() const
{
    // The deque's blocks of 512 bytes and its map of block pointers.
    const std::size_t blocks = m_index.size() * sizeof(quint32) / 512 + 1;
    return blocks * (512 + 2 * sizeof(void*));
}

int RowFilterModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return m_filtering ? static_cast<int>(m_index.size()) : m_source->rowCount();
}

int RowFilterModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_source->columnCount();
}

QVariant RowFilterModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const int row = mapToSource(index.row());
    return row < 0 ? QVariant() : m_source->data(m_source->index(row, index.column()), role);
}

QVariant RowFilterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    return m_source->headerData(section, orientation, role);
}
