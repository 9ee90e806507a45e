// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/TextMatcher.h"

#include <QAbstractTableModel>
#include <QByteArray>

#include <initializer_list>
#include <vector>

// A read-only table of 8-bit cell texts under fixed column titles. Every byte shows as one
// character (Latin-1), and a screen reader reads the same text.
class TextTableModel : public QAbstractTableModel
{
public:
    TextTableModel(std::initializer_list<const char*> titles, QObject* parent)
        : QAbstractTableModel(parent), m_titles(titles)
    {
    }

    // The text of one cell as stored; empty outside the table.
    virtual QByteArray cellText(int row, int column) const = 0;

    // Whether some cell of `row` holds the matcher's text; a table of many rows answers without
    // making each cell's text.
    virtual bool rowContains(int row, const TextMatcher& matcher) const
    {
        for (int column = 0; column < columnCount(); ++column) {
            if (matcher.in(cellText(row, column)))
                return true;
        }
        return false;
    }

    int columnCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_titles.size());
    }
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override
    {
        if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
            return {};
        return QString::fromLatin1(cellText(index.row(), index.column()));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= columnCount())
            return {};
        return QString::fromLatin1(m_titles[static_cast<std::size_t>(section)]);
    }

private:
    std::vector<const char*> m_titles;
};
