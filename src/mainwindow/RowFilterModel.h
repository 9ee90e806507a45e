// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/TextTableModel.h"
#include "widgets/TextMatcher.h"

#include <deque>
#include <functional>

// What a list view shows of a text table: with no filter, every row of the source exactly as the
// source has it; with one, the rows that hold the filter's text in some cell (ignoring case) and
// that the filter's own test takes, in the source's order.
// The matching rows are kept as 32-bit numbers counted from the source's bottom (its oldest row),
// so a row added at the top is one number at the end, and the oldest row leaving shifts them all
// at once; an index costs at most 4 bytes a row and a new row one test.
class RowFilterModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit RowFilterModel(TextTableModel* source, QObject* parent = nullptr);

    // An empty text and no test show the source as it is.
    void setFilter(const QString& text, std::function<bool(int sourceRow)> accept = {});
    bool isFiltering() const { return m_filtering; }
    // The source's row of row `row` of this model.
    int mapToSource(int row) const;
    // Bytes held by the index of matching rows.
    std::size_t indexBytes() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    bool accepts(int sourceRow) const;
    void rebuild();
    quint32 bottomAt(std::size_t position) const { return m_index[position] - m_shift; }
    std::size_t positionOf(quint32 bottom) const;

    void sourceRowsInserted(int first, int last);
    void sourceRowsAboutToBeRemoved(int first, int last);
    void sourceRowsRemoved(int first, int last);

    TextTableModel* m_source;
    bool m_filtering = false;
    TextMatcher m_matcher;
    std::function<bool(int)> m_accept;
    std::deque<quint32> m_index; // bottom-based source rows plus m_shift, ascending
    quint32 m_shift = 0;
    int m_sourceRows = 0; // the source's row count as last seen
    // Between the source's announcement of a removal and the removal itself.
    std::size_t m_removeFrom = 0;
    std::size_t m_removeTo = 0;
    bool m_removing = false;
};
