// SPDX-License-Identifier: GPL-3.0-or-later
#include "maindlg/SorvaneDlg.h"

#include "maindlg/EventListModel.h"
#include "maindlg/OnlineUserModel.h"

#include <QComboBox>

#include <new>

// Takes the events of one batch, each completely before the next, so the views lay out once per
// batch rather than once per event.
void CSorvaneDlg::OnEventNotify(const EventBatch& batch)
{
    m_onlineUserModel->beginBatch();
    for (const EventRecord& record : batch.events)
        processEvent(record);
    m_onlineUserModel->endBatch();
    updateStatus();
    updateEventCount();
}

void CSorvaneDlg::processEvent(const EventRecord& record)
{
    const quint32 code = record.EventCode;
    const QByteArray server = FormatIPAddress(record.ServerIPAddress);
    const QByteArray user = FormatIPAddress(record.IPAddress);

    m_eventModel->insertEvent(record);
    AddServer(server);
    const QByteArray selected = selectedServer();
    const bool fromSelected = !selected.isEmpty() && selected == server;

    try {
        if (code == FirewallRebooted) {
            // Only the rebooted firewall's users are gone, whatever the view shows.
            m_onlineUsers.removeServerUsers(std::string_view(server.constData(), server.size()));
            if (fromSelected)
                m_onlineUserModel->clear();
            return;
        }
        if (fromSelected && code == LoggedOn) {
            addGroup(QByteArray(record.Groupname));
            const QByteArray filter = selectedGroup();
            const int row = m_onlineUserModel->findAddress(user);
            if (row >= 0) {
                m_onlineUserModel->removeRowAt(row);
                m_onlineUsers.RemoveUser(std::string_view(user.constData(), user.size()));
            }
            const OnlineUser entry = makeOnlineUser(record);
            if (filter == ALL_GROUPS || filter == record.Groupname)
                ShowOnlineUserRow(entry);
            m_onlineUsers.AddOrUpdateUser(entry);
        } else if (!fromSelected) {
            m_onlineUsers.AddOrUpdateUser(makeOnlineUser(record));
        }
        if (code == LoggedOff || code == AccountMarkedForLockUp || code == AccessTimeExpired) {
            removeOnlineRow(user);
            m_onlineUsers.RemoveUser(std::string_view(user.constData(), user.size()));
        }
    } catch (const std::bad_alloc&) {
        m_boxes.show(this, QStringLiteral("Insufficient memory"), QStringLiteral("Users - Add"),
                     MessageBoxes::Icon::Stop);
    }
}
