// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertRules.h"
#include "common/Datagrams.h"
#include "common/Files.h"
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
    QProcess m_display; // both end with the test
    QProcess m_dunst;

    // What dunst was given, sorted: markup as the service reads it.
    static QStringList shown()
    {
        QProcess::execute("dunstctl", {"close-all"});
        QProcess history;
        history.start("dunstctl", {"history"});
        history.waitForFinished();
        QStringList texts;
        for (const QJsonValue n :
             QJsonDocument::fromJson(history.readAllStandardOutput())["data"][0].toArray())
            texts << n["message"]["data"].toString();
        texts.sort();
        return texts;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        // The bus would start a dunst of its own on a call to the missing service: let it fail.
        QCOMPARE(QProcess::execute("dbus-update-activation-environment", {"DISPLAY=", "WAYLAND_DISPLAY="}),
                 0);
        for (const char* tool : {"dunst", "dunstctl", "Xvfb"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString(tool) + " is missing: install the Debian packages dunst and xvfb"));
        // Xvfb names the first free display once it is ready.
        m_display.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        QTRY_VERIFY(m_display.canReadLine());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", ":" + m_display.readLine().trimmed());
        m_dunst.setProcessEnvironment(environment);
    }

    // A missing service is a condition until it answers. A burst is one notification, then one for
    // the rest. Markup in a name from the network reaches the service as text; control characters as
    // blanks.
    void burstsAndNamesFromTheNetwork()
    {
        IntakeOptions options;
        options.endpoint.eventPort = freeUdpPort();
        options.logPath = QFile::encodeName(m_dir.filePath("userfile"));
        EventIntake intake(options);
        AlertRules rules;
        DesktopNotifier notifier(300);
        QObject::connect(&intake, &EventIntake::eventsArrived, &rules, &AlertRules::takeBatch);
        QObject::connect(&rules, &AlertRules::alertsRaised, &notifier, &DesktopNotifier::notify);
        QTRY_COMPARE(notifier.condition(), QString("desktop notifications unavailable"));
        // "%s | %b" shows summary and body in one text.
        QVERIFY(writeFileBytes(m_dir.filePath("dunstrc"), "[global]\nmarkup = full\nformat = \"%s | %b\"\n"));
        m_dunst.start("dunst", {"-config", m_dir.filePath("dunstrc")});
        QTRY_VERIFY(
            QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"));
        QCOMPARE(intake.open(), 0);
        LoopbackPeer firewall;
        firewall.sendTo(options.endpoint.eventPort,
                        eventDatagram(AccountIsDisabled, "<b>x</b> & <i>y\r\nz\t\x01\x7f\x85!", "Staff",
                                      ip(192, 168, 1, 5), ip(10, 1, 2, 3)));
        EventBatch burst;
        burst.events.resize(1006);
        for (int n = 0; n < 1006; ++n) { // then five names guessed: known by the address
            burst.events[n].EventCode = n < 1000   ? AccountLockedUp
                                        : n > 1000 ? TryingInvalidUserNames
                                                   : FirewallRebooted;
            burst.events[n].ServerIPAddress = ip(10, 1, 2, 3);
            burst.events[n].IPAddress = ip(192, 168, 7, 9);
            setField(burst.events[n].Username, USERNAME_WIDTH, "user" + QByteArray::number(n));
        }
        rules.takeBatch(burst);
        QTRY_COMPARE(
            shown(),
            QStringList({"Sorvane: account locked | and 999 more; the last: server 10.1.2.3, user user999",
                         "Sorvane: account locked | server 10.1.2.3, user user0",
                         "Sorvane: disabled account used | server 10.1.2.3, user &lt;b&gt;x&lt;/b&gt; &amp; "
                         "&lt;i&gt;y  z    !",
                         "Sorvane: firewall rebooted | server 10.1.2.3",
                         "Sorvane: user-name guessing | server 10.1.2.3, address 192.168.7.9"}));
        QTRY_COMPARE(notifier.condition(), QString());
    }
};

QTEST_GUILESS_MAIN(NotifyTest)
#include "tst_notify.moc"
