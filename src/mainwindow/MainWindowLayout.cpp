// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include <QMenuBar>
#include <QTableView>

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    layOut();
}

void MainWindow::layOut()
{
    const int dx = std::max(0, width() - m_baseSize.width());
    const int dy = std::max(0, height() - m_baseSize.height());
    // The event list takes two thirds of the extra height; the online users and the servers the rest.
    const int upper = dy / 3;
    const int lower = dy - upper;
    m_menuBar->setGeometry(0, 0, width(), menuBarHeight());
    for (const Placement& p : m_placements) {
        QRect r = p.base;
        r.translate((p.grows & MoveRight) ? dx : 0, (p.grows & MoveDownAll)     ? dy
                                                    : (p.grows & MoveDownUpper) ? upper
                                                                                : 0);
        r.setWidth(r.width() + ((p.grows & Wider) ? dx : 0));
        r.setHeight(r.height() + ((p.grows & TallerUpper) ? upper : 0) +
                    ((p.grows & TallerLower) ? lower : 0));
        p.widget->setGeometry(r);
    }
}

void MainWindow::restoreLayout(const WindowLayout& layout)
{
    // Each part on its own: widths that do not fit this window's lists leave the layout's.
    const std::pair<QTableView*, const std::vector<int>*> lists[] = {
        {EventList, &layout.eventColumns}, {OnlineUserList, &layout.onlineUserColumns}};
    for (const auto& [view, widths] : lists) {
        if (static_cast<int>(widths->size()) != view->model()->columnCount())
            continue;
        for (int column = 0; column < view->model()->columnCount(); ++column)
            view->setColumnWidth(column, (*widths)[static_cast<std::size_t>(column)]);
    }
    if (!layout.geometry.isEmpty())
        restoreGeometry(layout.geometry);
}

WindowLayout MainWindow::windowLayout() const
{
    WindowLayout layout;
    layout.geometry = saveGeometry();
    for (int column = 0; column < EventList->model()->columnCount(); ++column)
        layout.eventColumns.push_back(EventList->columnWidth(column));
    for (int column = 0; column < OnlineUserList->model()->columnCount(); ++column)
        layout.onlineUserColumns.push_back(OnlineUserList->columnWidth(column));
    return layout;
}
