// SPDX-License-Identifier: GPL-3.0-or-later
#include "alertswindow/AlertListModel.h"

#include "events/Address.h"
#include "widgets/TimeText.h"

#include <QDateTime>

AlertListModel::AlertListModel(QObject* parent, std::size_t maxRows)
    : TextTableModel({"Time", "Server", "User or address", "What happened"}, parent), m_maxRows(maxRows)
{
}

void AlertListModel::addAlerts(const AlertBatch& alerts)
{
    const std::size_t keep = std::min(alerts.size(), m_maxRows);
    const std::size_t total = m_alerts.size() + keep;
    const std::size_t leaving = total > m_maxRows ? total - m_maxRows : 0;
    if (leaving > 0) {
        const int last = static_cast<int>(m_alerts.size()) - 1;
        beginRemoveRows(QModelIndex(), last - static_cast<int>(leaving) + 1, last);
        m_alerts.erase(m_alerts.begin(), m_alerts.begin() + static_cast<std::ptrdiff_t>(leaving));
        endRemoveRows();
    }
    if (keep == 0)
        return;
    beginInsertRows(QModelIndex(), 0, static_cast<int>(keep) - 1);
    m_alerts.insert(m_alerts.end(), alerts.end() - static_cast<std::ptrdiff_t>(keep), alerts.end());
    endInsertRows();
}

int AlertListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_alerts.size());
}

QByteArray AlertListModel::cellText(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(m_alerts.size()))
        return {};
    const Alert& a = m_alerts[m_alerts.size() - 1 - static_cast<std::size_t>(row)];
    switch (column) {
    case 0:
        return QDateTime::fromMSecsSinceEpoch(a.arrivalMicros / 1000).toString(timeFormat()).toLatin1();
    case 1:
        return FormatIPAddress(a.server);
    case 2:
        if (a.rule == AlertRule::FirewallRebooted)
            return {};
        return a.rule == AlertRule::UserNameGuessing || a.user.isEmpty() ? FormatIPAddress(a.address)
                                                                         : a.user;
    case 3:
        return alertWhat(a.rule);
    }
    return {};
}
