// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "mainwindow/OnlineUserModel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>

namespace
{

// Where a sorted list control puts a new text: after every item that does not sort after it,
// ignoring case.
template <typename TextAt> int sortedPosition(int count, const QString& text, TextAt textAt)
{
    int position = 0;
    while (position < count && textAt(position).compare(text, Qt::CaseInsensitive) <= 0)
        ++position;
    return position;
}

} // namespace

QByteArray MainWindow::selectedServer() const
{
    // Single selection: the selected item, if any, is the current one.
    const QListWidgetItem* item = ServerList->currentItem();
    return item && item->isSelected() ? item->text().toLatin1() : QByteArray();
}

QByteArray MainWindow::selectedGroup() const
{
    return GroupFilter->currentText().toLatin1();
}

void MainWindow::AddServer(const QByteArray& server)
{
    // The set holds exactly the listed texts, so this is the list's own exact comparison.
    if (!m_listedServers.insert(server).second)
        return;
    const QString text = QString::fromLatin1(server);
    const int position =
        sortedPosition(ServerList->count(), text, [this](int i) { return ServerList->item(i)->text(); });
    const QSignalBlocker blocker(ServerList);
    ServerList->insertItem(position, text);
}

void MainWindow::addGroup(const QByteArray& group)
{
    const QString text = QString::fromLatin1(group);
    if (GroupFilter->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0)
        return;
    const int position =
        sortedPosition(GroupFilter->count(), text, [this](int i) { return GroupFilter->itemText(i); });
    const QSignalBlocker blocker(GroupFilter);
    GroupFilter->insertItem(position, text);
}

void MainWindow::ShowOnlineUserRow(const OnlineUser& user)
{
    m_onlineUserModel->insertTop(user);
}

void MainWindow::removeOnlineRow(const QByteArray& address)
{
    m_onlineUserModel->removeRowAt(m_onlineUserModel->findAddress(address));
}

// Shows every online user of the selected server that the filter admits, in table order, so
// the last entry ends at the top; with `addGroups` the filter gains each shown user's group.
void MainWindow::fillOnlineUsers(bool addGroups)
{
    const QByteArray filter = selectedGroup();
    const QByteArray server = selectedServer();
    m_onlineUserModel->beginBatch();
    m_onlineUserModel->clear();
    for (const OnlineUser& user : m_monitor.onlineUsers().table()) {
        if (server.isEmpty())
            break;
        if (server != user.ServerIPAddress)
            continue;
        if (filter != ALL_GROUPS && filter != user.Groupname)
            continue;
        ShowOnlineUserRow(user);
        if (addGroups)
            addGroup(user.Groupname);
    }
    m_onlineUserModel->endBatch();
}

void MainWindow::rebuildForSelectedServer()
{
    const QByteArray server = selectedServer();
    SelectedServerField->setText(QString::fromLatin1(server));
    {
        const QSignalBlocker blocker(GroupFilter);
        GroupFilter->clear();
        GroupFilter->insertItem(0, QString::fromLatin1(ALL_GROUPS));
        GroupFilter->setCurrentIndex(0);
    }
    fillOnlineUsers(true);
    m_rebuiltServer = server;
}

void MainWindow::showSelectedServer()
{
    rebuildForSelectedServer();
}

void MainWindow::showSelectedGroup()
{
    fillOnlineUsers(false);
}
