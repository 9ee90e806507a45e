// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "events/EventKind.h"
#include "mainwindow/EventListModel.h"
#include "mainwindow/RowFilterModel.h"
#include "widgets/ElidedLabel.h"
#include "widgets/FilterField.h"
#include "widgets/ViewText.h"

#include <QComboBox>
#include <QTableView>

namespace
{

const QString CSV_FILTER = QStringLiteral("CSV files (*.csv);;All files (*)");

} // namespace

void MainWindow::filterEvents()
{
    // Entry 0 is every event; the others follow the kinds in order.
    const int entry = EventKindFilter->currentIndex();
    std::function<bool(int)> accept;
    if (entry > 0) {
        const EventKindSet kinds = kindBit(EventKind(entry - 1));
        const EventListModel* model = m_eventModel;
        accept = [model, kinds](int row) {
            return (kinds & kindBit(eventKindOfCode(model->eventCode(row)))) != 0;
        };
    }
    m_eventView->setFilter(EventFilter->text(), std::move(accept));
    updateEventCount();
}

void MainWindow::filterOnlineUsers()
{
    m_onlineUserView->setFilter(OnlineUserFilter->text());
}

void MainWindow::updateEventCount()
{
    m_eventCount->setFullText(
        m_eventView->isFiltering()
            ? QStringLiteral("%1 of %2 events").arg(m_eventView->rowCount()).arg(m_eventModel->rowCount())
            : QString());
}

void MainWindow::exportEvents()
{
    saveWithChooser(this, m_boxes, chooseExportPath, QStringLiteral("Export to CSV"),
                    QStringLiteral("sorvane-events.csv"), CSV_FILTER,
                    [this](const QString& path) { return exportViewAsCsv(*EventList, path); });
}

void MainWindow::exportOnlineUsers()
{
    saveWithChooser(this, m_boxes, chooseExportPath, QStringLiteral("Export to CSV"),
                    QStringLiteral("sorvane-online-users.csv"), CSV_FILTER,
                    [this](const QString& path) { return exportViewAsCsv(*OnlineUserList, path); });
}
