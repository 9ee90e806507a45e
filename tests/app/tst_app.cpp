#include "Harness.h"

#include "app/Sorvane.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>

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
    void withoutSocketsOnlyTheMessageIsShown()
    {
        RecordingBoxes boxes;
        CSorvaneApp app(loopbackSettings(), boxes);
        app.socketsAvailable = [] { return false; };
        bool windowRan = false;
        app.runWindow = [&](CSorvaneDlg&) { windowRan = true; };
        QVERIFY(!app.InitInstance());
        QCOMPARE(boxes.messages, QStringList{"Windows sockets initialization failed."});
        QVERIFY(!windowRan);
    }

    void windowMenuOpensTheAboutWindow()
    {
        RecordingBoxes boxes;
        CSorvaneApp app(loopbackSettings(), boxes);
        QStringList seen;
        app.runWindow = [&](CSorvaneDlg& dialog) {
            QStringList entries;
            for (QAction* action : dialog.windowMenu()->actions())
                entries << (action->isSeparator() ? "-" : action->text());
            QCOMPARE(entries, QStringList({"Mi&nimize", "&Close", "-", "&About Sorvane..."}));
            QVERIFY(!dialog.windowIcon().isNull());
            QVERIFY(dialog.windowIcon().availableSizes().contains(QSize(16, 16)));
            QVERIFY(dialog.windowIcon().availableSizes().contains(QSize(32, 32)));

            QTimer::singleShot(0, [&] {
                QWidget* about = QApplication::activeModalWidget();
                QVERIFY(about);
                seen << about->windowTitle();
                for (QLabel* label : about->findChildren<QLabel*>())
                    if (!label->text().isEmpty())
                        seen << label->text();
                auto* ok = about->findChild<QPushButton*>("OK");
                QVERIFY(ok && ok->isDefault());
                QTest::keyClick(about, Qt::Key_Return);
            });
            dialog.windowMenu()->actions().last()->trigger();
        };
        QVERIFY(!app.InitInstance());
        QCOMPARE(seen, QStringList({"About Sorvane", "Sorvane Version 1.0"}));
        QVERIFY(boxes.messages.isEmpty());
    }

    void commandLineChoosesPortsAndLogFile()
    {
        AppSettings settings;
        QCOMPARE(parseCommandLine({"sorvane", "--event-port", "41023", "--discovery-target",
                                   "127.255.255.255:41019", "--log-file", "demo/userfile", "--max-event-rows",
                                   "0"},
                                  settings),
                 -1);
        QCOMPARE(settings.endpoints.eventPort, quint16(41023));
        QCOMPARE(settings.endpoints.discoveryAddress, 0x7FFFFFFFu);
        QCOMPARE(settings.endpoints.discoveryPort, quint16(41019));
        QCOMPARE(settings.dialog.userFilePath,
                 QFile::encodeName(QDir::current().absoluteFilePath("demo/userfile")));
        QCOMPARE(settings.dialog.maxEventRows, quint64(0));

        // The log file is resolved once, against the current directory, by default "userfile".
        QCOMPARE(parseCommandLine({"sorvane"}, settings), -1);
        QCOMPARE(settings.dialog.userFilePath,
                 QFile::encodeName(QDir::current().absoluteFilePath("userfile")));

        QCOMPARE(parseCommandLine({"sorvane", "--event-port", "70000"}, settings), 2);
        QCOMPARE(parseCommandLine({"sorvane", "--discovery-target", "firewalls"}, settings), 2);
        QCOMPARE(parseCommandLine({"sorvane", "--bogus"}, settings), 2);
        QCOMPARE(parseCommandLine({"sorvane", "--max-event-rows", "-1"}, settings), 2);
        QCOMPARE(parseCommandLine({"sorvane", "extra"}, settings), 2);
    }
};

QTEST_MAIN(AppTest)
#include "tst_app.moc"
