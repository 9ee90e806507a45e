#include "maindlg/SorvaneDlg.h"

#include "history/UserLog.h"
#include "maindlg/EventListModel.h"
#include "maindlg/OnlineUserModel.h"
#include "net/Endpoint.h"

#include <QComboBox>

#include <cerrno>
#include <new>

int CSorvaneDlg::ReceiveEvent(EventRecord& record, int& errorCode)
{
    char buffer[MAX_DATAGRAM_SIZE];
    int error = 0;
    const long received = receiveDatagram(g_eventSocket, buffer, sizeof buffer, &error);
    if (received < 0) {
        errorCode = error;
        return -1;
    }
    record = decodeEvent(buffer, static_cast<std::size_t>(received));
    // The line joins this notification's batch, written in order with one open, write and close.
    m_pendingLog += formatLogLine(record);
    ++m_pendingLines;
    return 0;
}

void CSorvaneDlg::flushLog()
{
    if (m_pendingLines == 0)
        return;
    qsizetype written = 0;
    if (appendLogText(m_options.userFilePath, m_pendingLog, nullptr, &written) != 0)
        m_lostLogLines += m_pendingLines - static_cast<quint64>(m_pendingLog.left(written).count('\n'));
    m_pendingLog.clear();
    m_pendingLines = 0;
}

// Handles every datagram that waits, up to a bound, one completely before the next, so the views
// lay out once per batch rather than once per event.
int CSorvaneDlg::OnEventNotify()
{
    m_onlineUserModel->beginBatch();
    for (int i = 0; i < m_options.eventBatchLimit; ++i) {
        EventRecord record;
        int errorCode = 0;
        const int result = ReceiveEvent(record, errorCode);
        if (errorCode == EMSGSIZE)
            continue; // consumed and refused; the next datagram may be fine
        if (errorCode != 0)
            break;
        if (result != 0)
            ++m_lostLogLines;
        processEvent(record);
    }
    flushLog();
    m_onlineUserModel->endBatch();
    if (const DatagramQueue* queue = g_eventSocket.queue())
        m_droppedEvents = queue->droppedBySystem();
    updateStatus();
    return 0;
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
            if (filter == "All" || filter == record.Groupname)
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
        flushLog(); // the box's own event loop may log later events
        m_boxes.show(this, QStringLiteral("Insufficient memory"), QStringLiteral("Users - Add"),
                     MessageBoxes::Icon::Stop);
    }
}
