// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/Alert.h"

#include <QWidget>

class AlertListModel;
class QTableView;

// The "Alerts" window: every alert raised, newest first. Alerts that come while it is not showing
// are counted as unseen until it shows.
class AlertsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit AlertsWindow(QWidget* parent = nullptr);

    void addAlerts(const AlertBatch& alerts);
    int unseen() const { return m_unseen; }
    const AlertListModel& model() const { return *m_model; }
    // Shows it in front, and everything it lists as seen.
    void showInFront();

signals:
    void unseenChanged(int count);

protected:
    void showEvent(QShowEvent* event) override;

private:
    AlertListModel* m_model;
    QTableView* m_list;
    int m_unseen = 0;
};
