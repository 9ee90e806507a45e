// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/TextMatcher.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QStringList>

#include <vector>

// The rows of one answer from the store, in the order they came. Each row is its cells as Latin-1
// joined by NULs, so a filter matches within a cell and a row costs one allocation. With a filter,
// only the rows that hold its text in some cell (ignoring case), as the other lists do.
class ResultTable : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void reset(const QStringList& titles);
    void append(std::vector<QByteArray> rows);
    void setFilter(const QString& text);
    bool isFiltering() const { return !m_matcher.isEmpty(); }
    int allRows() const { return static_cast<int>(m_rows.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const QByteArray& row(int shown) const;

    QStringList m_titles;
    std::vector<QByteArray> m_rows;
    TextMatcher m_matcher;
    std::vector<quint32> m_shown; // with a filter, the rows it keeps
};
