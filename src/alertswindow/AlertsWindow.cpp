// SPDX-License-Identifier: GPL-3.0-or-later
#include "alertswindow/AlertsWindow.h"

#include "alertswindow/AlertListModel.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"

#include <QHeaderView>
#include <QKeySequence>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

AlertsWindow::AlertsWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), m_model(new AlertListModel(this)),
      m_list(makeListView(this, m_model, QStringLiteral("AlertList")))
{
    setObjectName(QStringLiteral("Alerts"));
    setWindowTitle(QStringLiteral("Alerts"));
    m_list->setAccessibleName(QStringLiteral("Alerts"));
    m_list->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    const DialogUnits units(font());
    const int widths[] = {90, 60, 80};
    for (int column = 0; column < 3; ++column)
        m_list->setColumnWidth(column, units.x(widths[column]));
    resize(units.x(360), units.y(200));
}

void AlertsWindow::addAlerts(const AlertBatch& alerts)
{
    m_model->addAlerts(alerts);
    if (isVisible() && !isMinimized())
        return;
    m_unseen = static_cast<int>(std::min<std::size_t>(std::size_t(m_unseen) + alerts.size(), 10000));
    emit unseenChanged(m_unseen);
}

void AlertsWindow::showInFront()
{
    showNormal();
    raise();
    activateWindow();
}

void AlertsWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_unseen = 0;
    emit unseenChanged(0);
}
