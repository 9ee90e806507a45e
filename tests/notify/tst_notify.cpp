// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertRules.h"
#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "notify/DesktopNotifier.h"

#include <QDBusConnection>
#include <QTemporaryDir>
#include <QTest>

// The test's own notification service on the private bus: it records every call.
class NotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls; // "summary | body"

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        calls << summary + " | " + body;
        return uint(calls.size());
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = "test";
        version = "1";
        specVersion = "1.2";
        return "recorder";
    }
};

class NotifyTest : public QObject
{
    Q_OBJECT

    NotificationService m_service;
    QDBusConnection m_serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "service");

    EventRecord lockOut(int n)
    {
        EventRecord r;
        r.EventCode = AccountLockedUp;
        r.ServerIPAddress = ip(10, 1, 2, 3);
        setField(r.Username, USERNAME_WIDTH, "user" + QByteArray::number(n));
        return r;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY(m_serviceBus.isConnected());
    }

    void missingServiceIsAConditionUntilItAnswers()
    {
        DesktopNotifier notifier(100000);
        QTRY_COMPARE(notifier.condition(), QString("desktop notifications unavailable"));
        QVERIFY(m_serviceBus.registerObject("/org/freedesktop/Notifications", &m_service,
                                            QDBusConnection::ExportAllSlots));
        QVERIFY(m_serviceBus.registerService("org.freedesktop.Notifications"));
        AlertRules rules;
        AlertBatch alerts;
        rules.check(lockOut(1), 0, 0, alerts);
        notifier.notify(alerts);
        QTRY_COMPARE(m_service.calls.size(), 1);
        QTRY_COMPARE(notifier.condition(), QString());
        m_service.calls.clear();
    }

    void aLockOutFromTheNetworkIsOneNotification()
    {
        QTemporaryDir dir;
        IntakeOptions options;
        options.endpoint.eventPort = freeUdpPort();
        options.logPath = QFile::encodeName(dir.filePath("userfile"));
        EventIntake intake(options);
        AlertRules rules;
        DesktopNotifier notifier(100000);
        QObject::connect(&intake, &EventIntake::eventsArrived, &rules, &AlertRules::takeBatch);
        QObject::connect(&rules, &AlertRules::alertsRaised, &notifier, &DesktopNotifier::notify);
        QCOMPARE(intake.open(), 0);
        LoopbackPeer firewall;
        firewall.sendTo(options.endpoint.eventPort,
                        eventDatagram(LoggedOn, "alice", "Staff", ip(192, 168, 1, 5), ip(10, 1, 2, 3)));
        firewall.sendTo(options.endpoint.eventPort, eventDatagram(AccountLockedUp, "alice", "Staff",
                                                                  ip(192, 168, 1, 5), ip(10, 1, 2, 3)));
        QTRY_COMPARE(m_service.calls, QStringList{"Sorvane: account locked | server 10.1.2.3, user alice"});
        m_service.calls.clear();
    }

    void aBurstIsOneNotificationThenOneForTheRest()
    {
        AlertRules rules;
        DesktopNotifier notifier(300);
        QObject::connect(&rules, &AlertRules::alertsRaised, &notifier, &DesktopNotifier::notify);
        EventBatch burst;
        for (int n = 0; n < 1000; ++n)
            burst.events.push_back(lockOut(n));
        burst.events.push_back(burst.events.front());
        burst.events.back().EventCode = FirewallRebooted;
        rules.takeBatch(burst);
        QTRY_COMPARE(m_service.calls.size(), 3);
        QCOMPARE(m_service.calls.mid(0, 2),
                 QStringList({"Sorvane: account locked | server 10.1.2.3, user user0",
                              "Sorvane: firewall rebooted | server 10.1.2.3"}));
        QCOMPARE(m_service.calls[2],
                 QString("Sorvane: account locked | and 999 more; the last: server 10.1.2.3, user user999"));
    }
};

QTEST_GUILESS_MAIN(NotifyTest)
#include "tst_notify.moc"
