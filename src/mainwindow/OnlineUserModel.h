// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/OnlineUserTable.h"
#include "mainwindow/TextArena.h"
#include "mainwindow/TextTableModel.h"

#include <unordered_map>
#include <vector>

// The rows of the online-user list, newest at the top. Each row is a copy of the entry it was
// made from; the list never holds two rows of one address, so rows are found by address.
// Rows stay in arrival order in storage; a removed row leaves a hole, and a tree of counts turns a
// row number into its place in storage, so no insertion or removal moves the other rows.
class OnlineUserModel : public TextTableModel
{
    Q_OBJECT
public:
    explicit OnlineUserModel(QObject* parent = nullptr);

    void insertTop(const OnlineUser& user);
    // Row of `address`, counted from the top, or -1.
    int findAddress(const QByteArray& address) const;
    // Nothing for -1, an address not listed.
    void removeRowAt(int row);
    void clear();

    // Between these (they nest), many changes reach the view as one reset instead of row by row,
    // which at a hundred thousand rows would cost the view a pass over all of them each time.
    void beginBatch();
    void endBatch();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;

    QByteArray cellText(int row, int column) const override;
    bool rowContains(int row, const TextMatcher& matcher) const override;

private:
    // Rows changed one by one in a batch before the view gets a reset instead.
    static constexpr int ROW_SIGNALS_PER_BATCH = 64;

    bool announce(); // true when the view is to hear of the next change row by row
    std::size_t storageIndex(int row) const;
    int rowOf(std::size_t index) const;
    void countAdd(std::size_t index, int delta);
    int countBefore(std::size_t index) const;
    void rebuild();

    struct Row {
        quint64 textOffset; // the six column texts, each ended by NUL
        quint16 textLength;
        bool live;
    };
    QByteArray cellsOf(const Row& row) const { return QByteArray(m_text.at(row.textOffset), row.textLength); }

    std::vector<Row> m_rows;
    TextArena m_text;                               // removed rows leave their text until the next rebuild
    std::vector<int> m_counts;                      // Fenwick tree over live rows, by storage index
    std::unordered_map<quint32, quint32> m_indexOf; // by the address's four numbers
    int m_live = 0;
    int m_batchChanges = 0;
    int m_batchDepth = 0;
    bool m_resetting = false;
};
