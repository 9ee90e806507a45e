// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "mainwindow/EventListModel.h"
#include "mainwindow/OnlineUserModel.h"

// Takes the events of one batch, each completely before the next, so the views lay out once per
// batch rather than once per event.
void MainWindow::showEvents(const EventBatch& batch)
{
    for (const EventRecord& record : batch.events)
        processEvent(record);
    updateStatus();
    updateEventCount();
}

void MainWindow::processEvent(const EventRecord& record)
{
    m_eventModel->insertEvent(record);
    AddServer(FormatIPAddress(record.ServerIPAddress));
}

// The online list follows the users of the selected server as they change; a log-off goes
// from the list whichever server sent it.
void MainWindow::showOnlineChange(const OnlineChange& change)
{
    if (change.effect == OnlineEffect::Removes) {
        removeOnlineRow(QByteArray(change.address.data(), qsizetype(change.address.size())));
        return;
    }
    const QByteArray selected = selectedServer();
    if (selected.isEmpty() ||
        change.server != std::string_view(selected.constData(), std::size_t(selected.size())))
        return;
    if (change.effect == OnlineEffect::RemovesServer) {
        m_onlineUserModel->clear();
        return;
    }
    const OnlineUser& user = *change.user;
    addGroup(QByteArray(user.Groupname));
    removeOnlineRow(QByteArray(user.IPAddress));
    const QByteArray filter = selectedGroup();
    if (filter == ALL_GROUPS || filter == user.Groupname)
        ShowOnlineUserRow(user);
}
