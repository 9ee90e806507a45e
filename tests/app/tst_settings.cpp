// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "app/Application.h"
#include "common/Files.h"

#include "widgets/DialogUnits.h"

#include <QLineEdit>
#include <QSettings>
#include <QTableView>
#include <QTest>

// The window's layout through the settings file, as the application reads and writes it.
class SettingsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString settingsPath() const { return m_dir.filePath("sorvane.conf"); }

    // A whole run of the application on loopback: the options, the window, and its closing.
    void run(const std::function<void(MainWindow&)>& inWindow)
    {
        AppSettings settings;
        QCOMPARE(parseCommandLine({"sorvane", "--settings", settingsPath(), "--event-port",
                                   QString::number(freeUdpPort()), "--discovery-target",
                                   "127.255.255.255:" + QString::number(freeUdpPort()), "--log-file",
                                   m_dir.filePath("userfile")},
                                  settings),
                 -1);
        RecordingBoxes boxes;
        Application app(settings, boxes);
        app.runWindow = [&](MainWindow& dialog) {
            dialog.show();
            inWindow(dialog);
            dialog.close();
        };
        app.run();
        QVERIFY(boxes.messages.isEmpty());
    }

    static QTableView* events(MainWindow& dialog) { return dialog.findChild<QTableView*>("EventList"); }

private slots:
    void init() { QFile::remove(settingsPath()); }

    void sizeAndColumnWidthsComeBackOnTheNextRun()
    {
        QSize grown;
        run([&](MainWindow& dialog) {
            dialog.resize(dialog.width() + 50, dialog.height() + 30);
            grown = dialog.size();
            events(dialog)->setColumnWidth(3, 211);
            dialog.findChild<QTableView*>("OnlineUserList")->setColumnWidth(0, 33);
            // Filters are not remembered: each run starts with the whole list.
            dialog.findChild<QLineEdit*>("EventFilter")->setText("alice");
        });
        QSettings file(settingsPath(), QSettings::IniFormat);
        QVERIFY(!file.allKeys().join(' ').contains("filter"));

        run([&](MainWindow& dialog) {
            QVERIFY(dialog.size() != dialog.minimumSize());
            QCOMPARE(dialog.size(), grown);
            QCOMPARE(events(dialog)->columnWidth(3), 211);
            QCOMPARE(dialog.findChild<QTableView*>("OnlineUserList")->columnWidth(0), 33);
            QVERIFY(dialog.findChild<QLineEdit*>("EventFilter")->text().isEmpty());
        });
    }

    void unreadableOrNonsenseSettingsAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("keptAsItWas");
        QTest::newRow("nonsense values")
            << QByteArray("[window]\ngeometry=zzz!\nevent-columns=abc, -3\nonline-user-columns=90000\n")
            << false;
        // Decodes, but to no geometry; a width for each of seven columns where there are five.
        QTest::newRow("a geometry of nothing")
            << QByteArray("[window]\ngeometry=AAAA\nevent-columns=1, 2, 3, 4, 5, 6, 7\n") << false;
    }

    void unreadableOrNonsenseSettingsAreIgnored()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, keptAsItWas);
        QVERIFY(writeFileBytes(settingsPath(), content));
        run([&](MainWindow& dialog) {
            QCOMPARE(dialog.size(), dialog.minimumSize());
            QCOMPARE(events(dialog)->columnWidth(4),
                     qRound(180 * DialogUnits(dialog.font()).baseWidth() / 6));
        });
        QCOMPARE(fileBytes(settingsPath()) == content, keptAsItWas);
        const QSettings saved(settingsPath(), QSettings::IniFormat);
        QCOMPARE(saved.value("window/event-columns").toStringList().size(), keptAsItWas ? 0 : 5);
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
