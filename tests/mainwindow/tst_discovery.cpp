// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "mainwindow/OnlineUserModel.h"
#include "net/Discovery.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

class DiscoveryTest : public WindowTest
{
    Q_OBJECT

    QByteArray m_packet;       // the last Discover packet
    quint16 m_monitorPort = 0; // where it came from

    bool awaitDiscoverPacket() { return m_fixture->firewall.receive(m_packet, 5000, &m_monitorPort); }

    void reply(const QByteArray& bytes) { m_fixture->firewall.sendTo(m_monitorPort, bytes); }

private slots:
    void discoverPacketAndRepliesFillTheServerList()
    {
        start();
        QVERIFY(awaitDiscoverPacket() && m_packet == DISCOVER_PACKET);
        QVERIFY(child<QLineEdit>("SelectedServerField")->isEnabled());

        // The server is the one the reply names, not its sender; any first byte will do.
        reply(discoveryReply(ip(10, 0, 0, 3)).replace(0, 1, "\xFF"));
        QTRY_COMPARE(servers(), QStringList{QStringLiteral("10.0.0.3")});
        QVERIFY(!child<QLineEdit>("SelectedServerField")->isEnabled());

        reply(discoveryReply(ip(10, 0, 0, 20), 512));
        QTRY_COMPARE(servers(), QString("10.0.0.20 10.0.0.3").split(' '));
        QCOMPARE(selected(), QStringLiteral("10.0.0.20"));

        // Too long, too short and a duplicate list nothing new; a later good one still arrives.
        reply(discoveryReply(ip(192, 168, 0, 1), 513));
        reply(QByteArray("\x02\xC0\xA8", 3));
        reply(discoveryReply(ip(10, 0, 0, 3)));
        reply(discoveryReply(ip(10, 0, 0, 7)));
        QTRY_COMPARE(servers(), QString("10.0.0.20 10.0.0.3 10.0.0.7").split(' '));
        QVERIFY(!m_dialog->CollectServerReply()); // none waits

        // A server known from discovery that also sends events is listed once.
        send(LoggedOn, "alice", ip(10, 0, 0, 7), "Staff", ip(10, 1, 0, 5));
        send(LoggedOn, "bob", ip(10, 0, 0, 9), "Staff", ip(10, 1, 0, 6));
        QTRY_COMPARE(servers(), QString("10.0.0.20 10.0.0.3 10.0.0.7 10.0.0.9").split(' '));
        // The window that goes closes its socket.
        m_fixture->dialog.reset();
        QVERIFY(!m_fixture->discovery->socket().isOpen());
    }

    void selectionFollowsTheFirstServerAndTheViewFollowsIt()
    {
        start();
        QVERIFY(awaitDiscoverPacket());
        send(LoggedOn, "alice", ip(10, 0, 0, 3), "Staff", ip(10, 1, 0, 5));
        send(LoggedOn, "bob", ip(10, 0, 0, 30), "Admins", ip(10, 1, 0, 6));
        QTRY_COMPARE(servers().size(), 2);

        // The operator picks 10.0.0.30; a late reply moves the selection back to the first entry,
        // and the users shown are that server's, not the previous one's.
        const OnlineUserModel& online = m_dialog->onlineUserModel();
        pickServer("10.0.0.30");
        QCOMPARE(online.cellText(0, 3), QByteArray("bob"));
        reply(discoveryReply(ip(10, 0, 0, 30)));
        QTRY_COMPARE(selected(), QStringLiteral("10.0.0.3"));
        QCOMPARE(child<QLineEdit>("SelectedServerField")->text(), QStringLiteral("10.0.0.3"));
        // The row keeps the date and log-on time of the event that put it there.
        QCOMPARE(online.cellText(0, 3) + " " + online.cellText(0, 0) + " " + online.cellText(0, 1),
                 QByteArray("alice 12/06/2026 09:59"));
        QCOMPARE(online.rowCount(), 1);

        // Log-ons of the selected server join its list; the same server selected again rebuilds
        // nothing, and the chosen group stays.
        send(LoggedOn, "carol", ip(10, 0, 0, 3), "Staff", ip(10, 1, 0, 7));
        QTRY_COMPARE(online.rowCount(), 2);
        pickEntry("GroupFilter", 1);
        reply(discoveryReply(ip(10, 0, 0, 4)));
        QTRY_COMPARE(servers().size(), 3);
        QCOMPARE(selected() + ' ' + child<QComboBox>("GroupFilter")->currentText(),
                 QString("10.0.0.3 Staff"));
        QCOMPARE(online.rowCount(), 2);

        // Nothing the operator does empties the selection: Ctrl+click, Ctrl+Space, a click below.
        auto* list = child<QListWidget>("ServerList");
        const QPoint item = list->visualItemRect(list->item(0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, item);
        QTest::keyClick(list, Qt::Key_Space, Qt::ControlModifier);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, {item.x(), list->viewport()->height() - 2});
        QCOMPARE(selected(), QStringLiteral("10.0.0.3"));
        QCOMPARE(online.rowCount(), 2);
    }

    void refreshFailingWhileTheSelectionTimerFiresDoesNotFreeze()
    {
        start(1500);
        QVERIFY(awaitDiscoverPacket());
        // The second detection fails at the host-name lookup; while its box is open the first
        // detection's selection timer fires and reads the new socket, on which nothing will come.
        m_fixture->lookup.resolve = [](const char*) { return false; };
        QSignalSpy fired(m_dialog->findChildren<QTimer*>().at(0), &QTimer::timeout);
        m_fixture->boxes.onShow = [&](const QString& text) { QVERIFY(text != "Auto5" || fired.wait(10000)); };
        QTest::mouseClick(child<QPushButton>("Refresh Server List"), Qt::LeftButton);
        QCOMPARE(fired.size(), 1);
        send(LoggedOn, "alice", ip(10, 0, 0, 3), "Staff", ip(10, 1, 0, 5));
        QTRY_COMPARE(servers(), QStringList{QStringLiteral("10.0.0.3")});
    }

    void failuresToStartShowTheirMessagesInOrderBeforeTheEventSocketOpens()
    {
        m_fixture = std::make_unique<MonitorFixture>();
        m_fixture->lookup.resolve = [](const char*) { return false; };
        m_dialog = m_fixture->dialog.get();
        QList<bool> taking; // whether the event socket is open at each box
        m_fixture->boxes.onShow = [&](const QString&) { taking << m_fixture->monitor->intake().isTaking(); };
        m_dialog->startUp();
        QCOMPARE(m_fixture->boxes.messages, QStringList({"Auto5", "Failed to initialize socket....",
                                                         "Unable to proceed with autodetection...."}));
        QCOMPARE(taking, QList<bool>({false, false, false}));
        QVERIFY(!m_fixture->discovery->socket().isOpen());
        int step = 0;
        QVERIFY(m_fixture->discovery->OpenDiscoverySocket(&step) && !m_fixture->discovery->socket().isOpen());

        m_fixture->lookup = HostLookup{[](char*, std::size_t) { return errno = ENAMETOOLONG, -1; },
                                       [](const char*) { return true; }};
        m_dialog->refreshServerList();
        QCOMPARE(m_fixture->boxes.messages.at(3), QStringLiteral("Auto4"));

        // A send that fails (UDP has no port 0) closes the socket it opened; events still come.
        m_fixture->lookup.getName = HostLookup::system().getName;
        m_fixture->endpoints.discoveryPort = 0;
        m_fixture->rebuild();
        m_fixture->boxes.messages.clear();
        m_fixture->dialog->startUp();
        QCOMPARE(m_fixture->boxes.messages,
                 QStringList({"StartAutoDetection failed", "Unable to proceed with autodetection...."}));
        QVERIFY(!m_fixture->discovery->socket().isOpen());
        QVERIFY(m_fixture->dialog->statusText().startsWith("Listening for events on UDP port"));

        // Replies from unlisted senders are dropped and counted, empty ones too.
        m_fixture->endpoints.discoveryPort = m_fixture->firewall.port();
        QVERIFY(m_fixture->endpoints.allowed.parse(QStringLiteral("127.0.0.2")));
        m_fixture->options.selectServerPeriod = 300;
        m_fixture->rebuild();
        m_fixture->dialog->startUp();
        QVERIFY(awaitDiscoverPacket());
        reply(discoveryReply(ip(10, 0, 0, 3)));
        reply(QByteArray());
        QTRY_VERIFY(m_fixture->dialog->statusText().endsWith(", 2 datagrams from unlisted senders refused"));
        QVERIFY(servers().isEmpty());
    }
};

int runDiscoveryTest(int argc, char** argv)
{
    DiscoveryTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery.moc"
