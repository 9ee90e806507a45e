// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/Alert.h"
#include "mainwindow/TextTableModel.h"

#include <deque>

// Alerts newest first, the newest `maxRows` kept.
class AlertListModel : public TextTableModel
{
    Q_OBJECT
public:
    explicit AlertListModel(QObject* parent = nullptr, std::size_t maxRows = 10000);

    void addAlerts(const AlertBatch& alerts);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QByteArray cellText(int row, int column) const override;

private:
    std::deque<Alert> m_alerts; // oldest first; row r is the r-th newest
    std::size_t m_maxRows;
};
