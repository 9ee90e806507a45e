// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertRules.h"
#include "common/Datagrams.h"
#include "common/LoopbackPeer.h"
#include "intake/EventIntake.h"
#include "notify/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Alerts as a real notification daemon shows them: dunst on the test's private bus and a virtual
// display of the test's own, read back from its history.
class NotifyTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_display;
    QProcess m_dunst;

    EventRecord lockOut(int n)
    {
        EventRecord r;
        r.EventCode = AccountLockedUp;
        r.ServerIPAddress = ip(10, 1, 2, 3);
        setField(r.Username, USERNAME_WIDTH, "user" + QByteArray::number(n));
        return r;
    }

    static bool serviceUp()
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(
            "org.freedesktop.Notifications");
    }

    // A fresh dunst, with an empty history; "%s | %b" shows summary and body in one text.
    void startDunst(const QByteArray& markup = "full")
    {
        QFile config(m_dir.filePath("dunstrc"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("[global]\nmarkup = " + markup + "\nformat = \"%s | %b\"\n");
        config.close();
        m_dunst.start("dunst", {"-config", config.fileName()});
        QTRY_VERIFY(serviceUp());
    }

    // What dunst showed, oldest first, as the reader sees it: tags applied, entities read.
    static QStringList shown()
    {
        QProcess::execute("dunstctl", {"close-all"});
        QProcess history;
        history.start("dunstctl", {"history"});
        history.waitForFinished();
        QStringList texts;
        for (const QJsonValue n :
             QJsonDocument::fromJson(history.readAllStandardOutput())["data"][0].toArray()) {
            QString text = n["message"]["data"].toString().remove(QRegularExpression("<[^>]*>"));
            texts.prepend(text.replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&"));
        }
        return texts;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        // The bus would start a dunst of its own on a call to the missing service: let it fail.
        QCOMPARE(QProcess::execute("dbus-update-activation-environment", {"DISPLAY=", "WAYLAND_DISPLAY="}),
                 0);
        for (const char* tool : {"dunst", "dunstctl", "Xvfb"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString(tool) + " is missing: install the Debian packages dunst and xvfb"));
        }
        // Xvfb names the first free display once it is ready.
        m_display.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        QTRY_VERIFY(m_display.canReadLine());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", ":" + m_display.readLine().trimmed());
        m_dunst.setProcessEnvironment(environment);
    }

    void cleanup()
    {
        m_dunst.terminate();
        m_dunst.waitForFinished();
        QTRY_VERIFY(!serviceUp());
    }

    void cleanupTestCase()
    {
        m_display.terminate();
        m_display.waitForFinished();
    }

    void aLockOutFromTheNetworkShowsTheNameAsText_data()
    {
        QTest::addColumn<QByteArray>("markup");
        QTest::newRow("service reads markup") << QByteArray("full");
        QTest::newRow("service reads text") << QByteArray("no");
    }

    // Markup in a name shows as the text it is; control characters as blanks.
    void aLockOutFromTheNetworkShowsTheNameAsText()
    {
        QFETCH(QByteArray, markup);
        startDunst(markup);
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
        const QByteArray name = "<b>x</b> & <i>y\r\nz\t\x01\x7f\x85!";
        for (const quint8 code : {LoggedOn, AccountLockedUp})
            firewall.sendTo(options.endpoint.eventPort,
                            eventDatagram(code, name, "Staff", ip(192, 168, 1, 5), ip(10, 1, 2, 3)));
        QTRY_COMPARE(shown(),
                     QStringList{"Sorvane: account locked | server 10.1.2.3, user <b>x</b> & <i>y  z    !"});
    }

    // A missing service is a condition until it answers.
    void aBurstIsOneNotificationThenOneForTheRest()
    {
        AlertRules rules;
        DesktopNotifier notifier(300);
        QTRY_COMPARE(notifier.condition(), QString("desktop notifications unavailable"));
        startDunst();
        QObject::connect(&rules, &AlertRules::alertsRaised, &notifier, &DesktopNotifier::notify);
        EventBatch burst;
        for (int n = 0; n < 1000; ++n)
            burst.events.push_back(lockOut(n));
        burst.events.push_back(burst.events.front());
        burst.events.back().EventCode = FirewallRebooted;
        rules.takeBatch(burst);
        // Two rules' notifications go out together, in no fixed order.
        const auto sorted = [](QStringList list) {
            list.sort();
            return list;
        };
        QTRY_COMPARE(
            sorted(shown()),
            sorted({"Sorvane: account locked | server 10.1.2.3, user user0",
                    "Sorvane: firewall rebooted | server 10.1.2.3",
                    "Sorvane: account locked | and 999 more; the last: server 10.1.2.3, user user999"}));
        QTRY_COMPARE(notifier.condition(), QString());
    }
};

QTEST_GUILESS_MAIN(NotifyTest)
#include "tst_notify.moc"
