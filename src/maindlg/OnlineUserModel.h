#pragma once

#include "events/OnlineUserTable.h"

#include <QAbstractTableModel>

#include <string>
#include <unordered_map>
#include <vector>

// The rows of the online-user list, newest at the top. Each row is a copy of the entry it was
// made from; the list never holds two rows of one address, so rows are found by address in O(1).
class OnlineUserModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit OnlineUserModel(QObject* parent = nullptr);

    void insertTop(const OnlineUser& user);
    // Row of `address`, counted from the top, or -1.
    int findAddress(const QByteArray& address) const;
    void removeRowAt(int row);
    void clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QByteArray cellText(int row, int column) const;

private:
    struct Row {
        quint64 serial;   // increases with every insertion, so storage stays sorted by it
        QByteArray cells; // the six column texts, each ended by NUL
    };
    std::size_t storageIndex(int row) const { return m_rows.size() - 1 - static_cast<std::size_t>(row); }

    std::vector<Row> m_rows; // oldest first
    std::unordered_map<std::string, quint64> m_serialOf;
    quint64 m_nextSerial = 0;
};
