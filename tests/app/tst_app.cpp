// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "app/Application.h"
#include "forward/ForwardCredentials.h"
#include "mainwindow/RowFilterModel.h"

#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>

#include <QTemporaryFile>

#include <csignal>
#include <unistd.h>

// What `run` prints on standard error.
template <typename Run> static QByteArray standardErrorOf(Run run)
{
    QTemporaryFile file;
    file.open();
    const int standardError = ::dup(2);
    ::dup2(file.handle(), 2);
    run();
    ::dup2(standardError, 2);
    ::close(standardError);
    file.seek(0);
    return file.readAll();
}

class AppTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    AppSettings loopbackSettings()
    {
        // Never the real network: discovery goes to the loopback broadcast address.
        AppSettings settings;
        settings.endpoints.eventPort = freeUdpPort();
        settings.endpoints.discoveryAddress = 0x7FFFFFFF;
        settings.endpoints.discoveryPort = freeUdpPort();
        settings.dialog.userFilePath = QFile::encodeName(m_dir.filePath("userfile"));
        return settings;
    }

private slots:
    void theStatusLineAndStandardErrorCountWhatTheForwarderMisses()
    {
        // A collector that refuses: the window's status line says so, with the events it missed.
        AppSettings settings = loopbackSettings();
        const quint16 refused = freeUdpPort(); // the same number is as good as free for TCP here
        settings.forward.targets.push_back(
            *parseForwardUrl(QStringLiteral("tcp://127.0.0.1:%1").arg(refused)));
        settings.forward.queueCapacity = 1;
        // Whether this machine has a desktop's session bus must not change the line.
        settings.alerts.notifications = false;
        RecordingBoxes boxes;
        Application app(settings, boxes);
        app.runWindow = [&](MainWindow& dialog) {
            const QString listening =
                QStringLiteral("Listening for events on UDP port %1").arg(settings.endpoints.eventPort);
            const QString condition =
                QStringLiteral("; forwarding to tcp://127.0.0.1:%1 failed: Connection refused").arg(refused);
            // The tip ends with what the options put in force.
            const QString inForce =
                QStringLiteral("\nforwarding to tcp://127.0.0.1:%1; accepting events from any sender")
                    .arg(refused);
            auto* status = dialog.findChild<QLabel*>("StatusLine");
            QTRY_COMPARE_WITH_TIMEOUT(status->toolTip(), listening + condition + inForce, 10000);
            LoopbackPeer firewall;
            firewall.sendTo(settings.endpoints.eventPort, "");
            for (int i = 0; i < 3; ++i)
                firewall.sendTo(settings.endpoints.eventPort, eventDatagram(0, "alice"));
            QTRY_COMPARE_WITH_TIMEOUT(
                status->toolTip(),
                listening + ", 1 datagram too short, 2 events not forwarded" + condition + inForce, 10000);
        };
        // At the end, standard error counts what the collector missed.
        QVERIFY(standardErrorOf([&] { app.run(); })
                    .endsWith(QStringLiteral("sorvane: 3 events not forwarded to tcp://127.0.0.1:%1\n")
                                  .arg(refused)
                                  .toUtf8()));
        QVERIFY(boxes.messages.isEmpty());
    }

    void alertsReachTheWindowTheCollectorAndTheSettings()
    {
        AppSettings settings = loopbackSettings();
        LoopbackPeer collector;
        settings.forward.targets.push_back(
            *parseForwardUrl(QStringLiteral("udp://127.0.0.1:%1").arg(collector.port())));
        settings.settingsPath = m_dir.filePath("alerts.conf");
        settings.alerts.notifications = false;
        RecordingBoxes boxes;
        Application app(settings, boxes);
        QSize grown;
        app.runWindow = [&](MainWindow& dialog) {
            // The layout the window closes with comes back on the next run.
            dialog.resize(dialog.size() + QSize(50, 30));
            dialog.findChild<QTableView*>("EventList")->setColumnWidth(3, 211);
            grown = dialog.size();
            auto* button = dialog.findChild<QPushButton*>("Alerts");
            LoopbackPeer firewall;
            const quint16 port = settings.endpoints.eventPort;
            firewall.sendTo(port,
                            eventDatagram(LoggedOn, "bob", "Staff", ip(192, 168, 1, 6), ip(10, 0, 0, 1)));
            firewall.sendTo(
                port, eventDatagram(AccountLockedUp, "alice", "Staff", ip(192, 168, 1, 5), ip(10, 0, 0, 1)));
            firewall.sendTo(port, eventDatagram(FirewallRebooted, "", "", 0, ip(10, 0, 0, 2)));
            QTRY_COMPARE(button->text() + button->accessibleName(), QString("Alerts (2)Alerts (2)"));

            // Rows coloured by kind: the reboot, the lock-out, the log-on, newest first.
            const RowFilterModel& events = dialog.eventView();
            auto colour = [&](int row) { return events.data(events.index(row, 0), Qt::BackgroundRole); };
            QVERIFY(!colour(0).isNull() && !colour(1).isNull() && colour(0) != colour(1) &&
                    colour(2).isNull());

            QByteArray message;
            while (collector.receive(message, 5000) && !message.contains(" Alert ")) {
            }
            QVERIFY(message.startsWith("<84>1 "));
            QVERIFY2(message.contains(" 10.0.0.1 sorvane - Alert [alert@32473 rule=\"account-locked\" "
                                      "user=\"alice\" address=\"192.168.1.5\"] \xEF\xBB\xBF"
                                      "account locked: server 10.0.0.1, user alice"),
                     message.constData());

            button->click();
            QWidget* window = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == "Alerts")
                    window = w;
            QVERIFY(window && window->isVisible());
            QCOMPARE(button->text(), QString("Alerts"));
            QAbstractItemModel* alerts = window->findChild<QTableView*>("AlertList")->model();
            auto row = [alerts](int r) {
                QStringList cells;
                for (int c = 1; c < 4; ++c)
                    cells << alerts->index(r, c).data().toString();
                return cells.join('|');
            };
            QCOMPARE(row(0), QString("10.0.0.2||firewall rebooted"));
            QCOMPARE(row(1), QString("10.0.0.1|alice|account locked"));

            // Settings: the lock-out rule off, saved, and in force at once.
            QTimer::singleShot(0, [] {
                QWidget* dialog = QApplication::activeModalWidget();
                dialog->findChild<QCheckBox*>("account-locked")->setChecked(false);
                dialog->findChild<QSpinBox*>("Invalid passwords")->setValue(7);
                dialog->findChild<QPushButton*>("OK")->click();
            });
            for (QAction* action : dialog.windowMenu()->actions())
                if (action->text() == "&Settings...")
                    action->trigger();
            firewall.sendTo(
                port, eventDatagram(AccountLockedUp, "carol", "Staff", ip(192, 168, 1, 7), ip(10, 0, 0, 1)));
            firewall.sendTo(
                port, eventDatagram(AccountIsDisabled, "dan", "Staff", ip(192, 168, 1, 8), ip(10, 0, 0, 1)));
            QTRY_COMPARE(alerts->rowCount(), 3);
            QCOMPARE(row(0), QString("10.0.0.1|dan|disabled account used"));
            AppSettings reread;
            QCOMPARE(parseCommandLine({"sorvane", "--settings", settings.settingsPath}, reread), -1);
            QVERIFY(!reread.alerts.enabled[std::size_t(AlertRule::AccountLocked)]);
            QVERIFY(reread.alerts.enabled[std::size_t(AlertRule::AccountDisabled)]);
            QCOMPARE(reread.alerts.passwordGuesses, 7);
        };
        // A save that worked says nothing.
        QVERIFY(!standardErrorOf([&] { app.run(); }).contains("not saved"));
        AppSettings again = loopbackSettings();
        QCOMPARE(parseCommandLine({"sorvane", "--settings", settings.settingsPath, "--log-file",
                                   m_dir.filePath("userfile")},
                                  again),
                 -1);
        Application next(again, boxes);
        next.runWindow = [&](MainWindow& dialog) {
            QCOMPARE(dialog.size(), grown);
            QCOMPARE(dialog.findChild<QTableView*>("EventList")->columnWidth(3), 211);
        };
        next.run();
        QVERIFY(boxes.messages.isEmpty());
    }

    void aSignalClosesTheWindowAndKeepsWhatCame_data()
    {
        QTest::addColumn<int>("signal");
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            QTest::newRow(strsignal(signal)) << signal;
    }

    // A session that ends, or a kill, closes the window as the operator would.
    void aSignalClosesTheWindowAndKeepsWhatCame()
    {
        QFETCH(int, signal);
        const AppSettings settings = loopbackSettings();
        const QString log = m_dir.filePath(QString::number(signal)), conf = log + ".conf";
        const QString port = QString::number(settings.endpoints.eventPort);
        QProcess monitor;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        monitor.setProcessEnvironment(environment);
        monitor.start(SORVANE_BINARY,
                      {"--event-port", port, "--log-file", log, "--settings", conf, "--discovery-target",
                       "127.255.255.255:" + QString::number(freeUdpPort())});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += monitor.readAllStandardError()).contains("Listening"), 20000);
        const LoopbackPeer firewall;
        // Held still while an event and the signal arrive: the event is logged all the same.
        ::kill(pid_t(monitor.processId()), SIGSTOP);
        firewall.sendTo(settings.endpoints.eventPort, eventDatagram(LoggedOn, "last"));
        ::kill(pid_t(monitor.processId()), signal);
        ::kill(pid_t(monitor.processId()), SIGCONT);
        QVERIFY(monitor.waitForFinished(20000));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), 0);
        QVERIFY(fileBytes(log).contains("last"));
        QVERIFY(fileBytes(conf).contains("geometry"));
    }

    void commandLineAndSettingsFile()
    {
        AppSettings settings;
        const auto urls = [&] {
            QStringList list;
            for (const ForwardTarget& target : settings.forward.targets)
                list << target.url();
            return list;
        };
        // The log file is resolved once, against the current directory.
        QCOMPARE(parseCommandLine({"sorvane", "--discovery-target", "127.255.255.255:41019", "--log-file",
                                   "demo/userfile", "--forward", "udp://127.0.0.1:514", "--headless",
                                   "--forward", "tls://Collector.example:6514"},
                                  settings),
                 -1);
        QCOMPARE(settings.endpoints.discoveryPort, quint16(41019));
        QCOMPARE(settings.dialog.userFilePath,
                 QFile::encodeName(QDir::current().absoluteFilePath("demo/userfile")));
        QCOMPARE(urls(), QStringList({"udp://127.0.0.1:514", "tls://collector.example:6514"}));
        QVERIFY(settings.headless);

        // The settings file holds a list under the option's own name; the command line replaces it.
        const QString file = m_dir.filePath("sorvane.conf");
        QVERIFY(writeFileBytes(file, "forward=tcp://10.0.0.9:601, udp://10.0.0.9:514\nheadless=yes\n"
                                     "[alerts]\nnotifications=off\n"));
        settings = AppSettings();
        QCOMPARE(parseCommandLine({"sorvane", "--settings", file}, settings), -1);
        QCOMPARE(urls(), QStringList({"tcp://10.0.0.9:601", "udp://10.0.0.9:514"}));
        QVERIFY(settings.headless && !settings.alerts.notifications);
        QCOMPARE(
            parseCommandLine({"sorvane", "--settings", file, "--forward", "tcp://127.0.0.1:601"}, settings),
            -1);
        QCOMPARE(urls(), QStringList({"tcp://127.0.0.1:601"}));

        // Each setting stands alone: one that makes no sense is named and ignored, the next is read;
        // the ends of each range are in it.
        const auto number = [](int n) { return QByteArray::number(n); };
        QVERIFY(writeFileBytes(file, "headless=off\n[alerts]\naccount-locked=maybe\naccount-disabled=no\n"
                                     "password-guesses=" +
                                         number(MIN_GUESSES - 1) +
                                         "\npassword-minutes=" + number(MAX_WINDOW_MINUTES) +
                                         "\nuser-name-guesses=" + number(MAX_GUESSES + 1) +
                                         "\nuser-name-minutes=1\n[window]\nevent-columns=1, 10000\n"
                                         "online-user-columns=5, 0\n"));
        const AppSettings defaults;
        settings = AppSettings();
        QByteArray expected;
        for (const char* key : {"window/online-user-columns", "alerts/account-locked",
                                "alerts/password-guesses", "alerts/user-name-guesses"})
            expected +=
                "sorvane: " + QByteArray(key) + " in " + file.toUtf8() + " makes no sense; it is ignored\n";
        QCOMPARE(standardErrorOf([&] {
                     parseCommandLine({"sorvane", "--settings", file}, settings);
                 }),
                 expected);
        QVERIFY(!settings.headless && settings.alerts.enabled[std::size_t(AlertRule::AccountLocked)]);
        QVERIFY(!settings.alerts.enabled[std::size_t(AlertRule::AccountDisabled)]);
        QCOMPARE(settings.alerts.passwordGuesses, defaults.alerts.passwordGuesses);
        QCOMPARE(settings.alerts.passwordMinutes, MAX_WINDOW_MINUTES);
        QCOMPARE(settings.alerts.userNameGuesses, defaults.alerts.userNameGuesses);
        QCOMPARE(settings.alerts.userNameMinutes, 1);
        QCOMPARE(settings.dialog.layout.eventColumns, std::vector<int>({1, 10000}));
        QVERIFY(settings.dialog.layout.onlineUserColumns.empty());

        // A client certificate and its key; the key open to others, encrypted; another key.
        QProcess openssl;
        openssl.setWorkingDirectory(m_dir.path());
        openssl.start("sh", {"-ec", R"(ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
openssl req -x509 $ec -keyout id.key -out id.pem -subj /CN=sorvane 2>/dev/null
openssl req -x509 $ec -keyout other.key -out other.pem -subj /CN=other 2>/dev/null
openssl pkey -in id.key -aes128 -passout pass:x -out encrypted.key
cp id.key open.key && chmod 600 id.key other.key encrypted.key && chmod 644 open.key)"});
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        const QString id = m_dir.filePath("id.pem");
        const QString pin = fingerprintText(readCaCertificates(id).constFirst());
        const QString colons = QByteArray::fromHex(pin.mid(7).toLatin1()).toHex(':');
        QCOMPARE(parseCommandLine(QStringList{"sorvane", "--forward-fingerprint", pin,
                                              "--forward-fingerprint", "sha-256:" + colons, "--forward-cert",
                                              id, "--forward-key", m_dir.filePath("id.key")},
                                  settings),
                 -1);
        QCOMPARE(settings.forward.tls.clientCertificates, readCaCertificates(id));
        QCOMPARE(settings.forward.tls.fingerprints, QList<QByteArray>(2, parseFingerprint(pin)));

        // What cannot be meant stops the start, from either place.
        QVERIFY(writeFileBytes(file, "forward=tcp://10.0.0.9:601, syslog://10.0.0.9:514\n"));
        const QString bad =
            "--event-port 70000|--discovery-target firewalls|--bogus|--max-event-rows -1|extra|"
            "--forward tcp://collector|--forward udp://127.0.0.010:5514|--allow-from 10.0.0.010|"
            "--discovery-target 127.0.0.010:1019|--settings <f>|--forward-ca <f>|<k>open.key|"
            "<k>encrypted.key|<k>other.key|--forward-cert <i>|--forward-fingerprint <p> --forward-ca "
            "<i>|--forward-fingerprint <q>";
        for (QString line : bad.split('|')) {
            line.replace("<k>", "--forward-cert <i> --forward-key " + m_dir.path() + '/')
                .replace("<f>", file);
            line.replace("<i>", id).replace("<p>", pin).replace("<q>", pin.chopped(2));
            QVERIFY2(parseCommandLine(QStringList{"sorvane"} + line.split(' '), settings) == 2,
                     qPrintable(line));
        }
    }
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
