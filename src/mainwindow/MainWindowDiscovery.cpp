// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "net/Discovery.h"
#include "net/Endpoint.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

bool MainWindow::StartAutoDetection()
{
    int failedStep = 0;
    if (m_discovery.OpenDiscoverySocket(&failedStep) != 0) {
        if (failedStep != 0)
            m_boxes.show(this, QStringLiteral("Auto%1").arg(failedStep));
        m_boxes.show(this, QStringLiteral("Failed to initialize socket...."));
        return false;
    }
    int error = 0;
    if (SendDiscoverPacket(&error) == -1) {
        m_boxes.show(this, QStringLiteral("StartAutoDetection failed"));
        return false;
    }
    m_selectServerTimer->start(m_options.selectServerPeriod);
    return true;
}

void MainWindow::refreshServerList()
{
    if (!StartAutoDetection()) {
        m_boxes.show(this, QStringLiteral("Unable to proceed with autodetection...."));
        m_discovery.CloseDiscoverySocket();
    }
}

void MainWindow::takeDiscoveryReply()
{
    CollectServerReply();
}

bool MainWindow::CollectServerReply()
{
    int error = 0;
    const bool read = ReadDiscoveryReply(&error) == 0;
    QString first;
    if (ServerList->count() > 0) {
        const QSignalBlocker blocker(ServerList);
        ServerList->setCurrentRow(0);
        first = ServerList->item(0)->text();
    }
    SelectedServerField->setText(first);
    SelectedServerField->setEnabled(false);
    // Keep the online users those of the server now shown above them.
    if (!first.isEmpty() && (!m_rebuiltServer || *m_rebuiltServer != first.toLatin1()))
        rebuildForSelectedServer();
    updateStatus();
    return read;
}

int MainWindow::SendDiscoverPacket(int* error)
{
    if (const int code = m_discovery.watch([this] { emit discoverySocketMessage(); })) {
        *error = code;
        return -1;
    }
    if (const int code = m_discovery.sendDiscoverPacket()) {
        *error = code;
        return -1;
    }
    return 0;
}

int MainWindow::ReadDiscoveryReply(int* error)
{
    char buffer[DISCOVERY_REPLY_SIZE];
    const long received = m_discovery.readReply(buffer, sizeof buffer, error);
    if (received < 0)
        return -1;
    DiscoveryReply reply;
    if (readDiscoveryReply(buffer, static_cast<std::size_t>(received), reply))
        AddServer(FormatIPAddress(reply.serverAddress));
    return 0;
}
