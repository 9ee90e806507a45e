// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"
#include "mainwindow/TextArena.h"
#include "mainwindow/TextTableModel.h"

#include <array>
#include <deque>

// The events since start, newest first. Rows are appended to compact storage and row r maps to
// the r-th newest, so a top insertion moves nothing: a month's run keeps a million rows small.
// Past `maxRows` (0: no cap) the oldest row leaves as each new one comes, so a run of any length
// ends in bounded memory; the log still holds every event.
class EventListModel : public TextTableModel
{
    Q_OBJECT
public:
    explicit EventListModel(QObject* parent = nullptr, quint64 maxRows = 0,
                            std::size_t textChunkSize = std::size_t(1) << 20);
    ~EventListModel() override;

    // A row at the top: the event's Date, EventTime, server, Username and display text.
    void insertEvent(const EventRecord& record);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // The cell text, and a row's colours by the kind of its event.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QByteArray cellText(int row, int column) const override;
    bool rowContains(int row, const TextMatcher& matcher) const override;
    // The event code of a row.
    quint32 eventCode(int row) const;
    // Bytes held per row, storage included.
    std::size_t bytesUsed() const;
    // Oldest rows that left for the cap.
    quint64 rowsDropped() const { return m_dropped; }

private:
    struct Row {
        quint64 textOffset; // Date, EventTime and Username back to back
        quint32 serverAddress;
        quint8 code;
        quint8 dateLength;
        quint8 timeLength;
        quint8 userLength;
    };
    const Row& rowAt(int row) const { return m_rows[m_rows.size() - 1 - static_cast<std::size_t>(row)]; }

    // Whether each event code's text holds the matcher's text: many rows share each, so they are
    // found once for the matcher last asked.
    struct MessageMatches {
        TextMatcher matcher;
        std::array<qint8, 256> found; // -1 not yet known
    };
    bool messageContains(quint8 code, const TextMatcher& matcher) const;

    std::deque<Row> m_rows; // oldest first
    TextArena m_text;
    quint64 m_maxRows;
    quint64 m_dropped = 0;
    mutable MessageMatches m_messageMatches;
};
