// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/LoopbackPeer.h"
#include "common/RecordingBoxes.h"
#include "mainwindow/EventListModel.h"
#include "mainwindow/MainWindow.h"
#include "net/Endpoint.h"

#include <QComboBox>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>

// A monitor window on loopback ports of its own, its log in a temporary folder, discovery to the
// loopback broadcast address. A test may change the endpoints, options or host lookup and rebuild().
struct MonitorFixture {
    QTemporaryDir dir;
    RecordingBoxes boxes;
    LoopbackPeer firewall{0, INADDR_ANY};
    EndpointSettings endpoints;
    DialogOptions options;
    // The host-name steps; resolving needs no name service.
    HostLookup lookup{HostLookup::system().getName, [](const char*) { return true; }};
    std::unique_ptr<Monitor> monitor;
    std::unique_ptr<DiscoveryEndpoint> discovery;
    std::unique_ptr<MainWindow> dialog;
    int sent = 0;

    explicit MonitorFixture(int selectPeriod = 3000, quint64 maxEventRows = 20000000)
    {
        endpoints.eventPort = freeUdpPort();
        endpoints.discoveryAddress = 0x7FFFFFFF; // 127.255.255.255
        endpoints.discoveryPort = firewall.port();
        options.userFilePath = logPath();
        options.selectServerPeriod = selectPeriod;
        options.maxEventRows = maxEventRows;
        rebuild();
    }
    void rebuild()
    {
        dialog.reset();
        monitor.reset(); // frees the event port for the new one
        MonitorOptions monitorOptions;
        monitorOptions.endpoints = endpoints;
        monitorOptions.logPath = options.userFilePath;
        monitorOptions.rebindPeriodMs = 50;
        monitor = std::make_unique<Monitor>(monitorOptions);
        monitor->startOutputs();
        discovery = std::make_unique<DiscoveryEndpoint>(
            endpoints,
            HostLookup{[this](char* buffer, std::size_t size) { return lookup.getName(buffer, size); },
                       [this](const char* name) { return lookup.resolve(name); }});
        dialog = std::make_unique<MainWindow>(options, *monitor, *discovery, boxes);
    }
    MainWindow* start() { return dialog->startUp(), dialog->show(), dialog.get(); }
    QByteArray logPath() const { return QFile::encodeName(dir.filePath(QStringLiteral("userfile"))); }
    void send(const QByteArray& datagram) { firewall.sendTo(endpoints.eventPort, datagram), ++sent; }
};

// A step script's event code: a number, or a word in the firewalls' code order; no other word.
inline quint32 eventCode(const QString& word)
{
    bool number = false;
    const quint32 code = word.toUInt(&number);
    const QStringList words =
        QString("on off locked names pw disabled reboot sites marked expired").split(' ');
    if (!number && !words.contains(word))
        qFatal("unknown word in a step script: %s", qPrintable(word));
    return number ? code : quint32(words.indexOf(word));
}

const quint32 SERVER_A = ip(10, 0, 0, 3);
const quint32 SERVER_B = ip(10, 0, 0, 20);

// What the window tests share: a started window and the firewall that sends to it.
class WindowTest : public QObject
{
protected:
    std::unique_ptr<MonitorFixture> m_fixture;
    MainWindow* m_dialog = nullptr;

    template <typename T> T* child(const char* name) const { return m_fixture->dialog->findChild<T*>(name); }

    // Shown and active, so that its shortcuts reach it.
    void start(int selectPeriod = 3000, quint64 maxEventRows = 20000000)
    {
        m_fixture = std::make_unique<MonitorFixture>(selectPeriod, maxEventRows);
        m_dialog = m_fixture->start();
        m_dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dialog));
    }

    // An event; without an address, each event has its own.
    void send(quint32 code, const QByteArray& user, quint32 server = SERVER_A,
              const QByteArray& group = "Staff", quint32 address = 0)
    {
        if (address == 0)
            address = ip(10, 1, 0, quint8(5 + m_fixture->sent % 200));
        m_fixture->send(eventDatagram(quint8(code), user, group, address, server));
    }

    // Until the event list holds every event sent (or `cap` of them).
    bool waitForEvents(int cap = INT_MAX) const
    {
        return QTest::qWaitFor(
            [=] { return m_fixture->dialog->eventModel().rowCount() == std::min(m_fixture->sent, cap); });
    }

    QStringList servers() const { return column(child<QListWidget>("ServerList"), 0); }
    QString selected() const
    {
        const auto items = child<QListWidget>("ServerList")->selectedItems();
        return items.isEmpty() ? QString() : items.first()->text();
    }

    // The operator clicks a server in the list.
    void pickServer(const QString& text)
    {
        auto* list = child<QListWidget>("ServerList");
        const auto items = list->findItems(text, Qt::MatchExactly);
        QVERIFY(!items.isEmpty());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(items.first()).center());
    }

    // The operator steps through a drop-down list with the keyboard to entry `index`.
    void pickEntry(const char* name, int index)
    {
        auto* combo = child<QComboBox>(name);
        QVERIFY(index >= 0 && index < combo->count());
        combo->setFocus();
        while (combo->currentIndex() != index)
            QTest::keyClick(combo, combo->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
    }

    // The column of each row of a view, top first.
    static QStringList column(const QAbstractItemView* view, int column)
    {
        QStringList texts;
        for (int row = 0; row < view->model()->rowCount(); ++row)
            texts << view->model()->index(row, column).data().toString();
        return texts;
    }
};
