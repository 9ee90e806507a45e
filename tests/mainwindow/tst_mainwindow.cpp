// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "mainwindow/OnlineUserModel.h"
#include "widgets/MessageBoxWindow.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>

#include <arpa/inet.h>

class MainWindowTest : public WindowTest
{
    Q_OBJECT

private slots:
    void controlsAreNamedEventsListedLoggedReadableAndTheStatusLineTellsATakenPort()
    {
        start();
        QCOMPARE(m_dialog->windowIcon().availableSizes(), QList<QSize>({{32, 32}, {16, 16}}));
        // Every control the operator can reach has a name a screen reader says; an empty filter shows it.
        for (auto* filter : {child<QLineEdit>("EventFilter"), child<QLineEdit>("OnlineUserFilter")})
            QCOMPARE(filter->placeholderText(), filter->accessibleName());
        for (QWidget* widget : m_dialog->findChildren<QWidget*>())
            if (widget->isVisible() && widget->focusPolicy() != Qt::NoFocus && !widget->focusProxy())
                QVERIFY2(!QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name).isEmpty(),
                         qPrintable(widget->objectName()));
        // The event list takes what the window gains.
        const QSize listed = child<QTableView>("EventList")->size();
        m_dialog->resize(m_dialog->size() + QSize(100, 80));
        QTRY_VERIFY(child<QTableView>("EventList")->width() == listed.width() + 100 &&
                    child<QTableView>("EventList")->height() > listed.height());
        // Events that arrive while the History window is open are handled at once.
        QTimer::singleShot(0, [&] {
            send(LoggedOn, "alice", SERVER_A, "Staff", ip(10, 1, 0, 5));
            send(TryingInvalidPasswords, "bob", SERVER_B, "Staff", ip(10, 1, 0, 6));
            send(12, "carol", ip(9, 1, 1, 1), "Guests", ip(10, 1, 0, 7));
            const bool handled = waitForEvents();
            QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
            QVERIFY(handled);
        });
        QTest::mouseClick(child<QPushButton>("History"), Qt::LeftButton);
        QCOMPARE(m_dialog->eventModel().cellText(0, 4), QByteArray(" Unknown event 12"));
        QVERIFY(m_dialog->eventModel().index(1, 0).data(Qt::BackgroundRole).isValid()); // a failed attempt
        QVERIFY(m_dialog->eventModel().bytesUsed() < (2 << 20)); // the rows' texts share one chunk
        QCOMPARE(fileBytes(QFile::decodeName(m_fixture->logPath())),
                 QByteArray("10:00:00  12/06/2026  10.0.0.3  alice  LoggedOn\r\n"
                            "10:00:00  12/06/2026  10.0.0.20  bob  TryingInvalidPasswords\r\n"
                            "10:00:00  12/06/2026  9.1.1.1  carol  \r\n"));
        auto* table = QAccessible::queryAccessibleInterface(child<QTableView>("EventList"))->tableInterface();
        QCOMPARE(table->cellAt(2, 3)->text(QAccessible::Name), QStringLiteral("alice"));

        // Help stays open beside the window, and closes with it.
        QTest::mouseClick(child<QPushButton>("&Help"), Qt::LeftButton);
        QPointer<QTextBrowser> help;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->isVisible() && widget->findChild<QTextBrowser*>("HelpText"))
                help = widget->findChild<QTextBrowser*>("HelpText");
        QVERIFY(help && help->toPlainText().contains("Who counts as online"));
        QTest::mouseClick(child<QPushButton>("Close"), Qt::LeftButton);
        QVERIFY(help.isNull());

        auto squatter = std::make_unique<LoopbackPeer>(0, INADDR_ANY);
        m_fixture->endpoints.eventPort = squatter->port();
        m_fixture->rebuild();
        m_dialog = m_fixture->start();
        const QString status =
            QStringLiteral("Not receiving events: UDP port %1: Address already in use").arg(squatter->port());
        auto* line = child<QLabel>("StatusLine");
        const auto warned = [&] { return m_dialog->windowTitle() + ' ' + line->accessibleName(); };
        QCOMPARE(line->text() + warned(), status + "\u26A0 Sorvane Status: warning");
        // Where the line is too narrow the middle is cut, and a reader still gets all of it.
        line->resize(line->width() / 3, line->height());
        QVERIFY(line->text().startsWith("Not") && line->text().endsWith("use") &&
                line->text().contains(QChar(0x2026)));
        QCOMPARE(line->toolTip() + line->accessibleDescription(), status + status);
        QVERIFY(m_fixture->boxes.messages.isEmpty());
        // Once the port is free, the monitor takes it and the warning goes.
        squatter.reset();
        QTRY_COMPARE(
            line->toolTip() + warned(),
            QString("Listening for events on UDP port %1Sorvane Status").arg(m_fixture->endpoints.eventPort));

        // The real boxes: Enter and Escape keep the monitor on, only the question's own button stops it.
        MessageBoxWindow real;
        QStringList seen;
        for (const char* press : {"Return", "Escape", "Stop", "Return"}) {
            QTimer::singleShot(0, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                seen << box->windowTitle() + ' ' + box->text() + ' ' + QString::number(box->icon());
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == press)
                        button->click();
                if (press[0] != 'S')
                    QTest::keySequence(box, QKeySequence(press));
            });
            if (seen.size() < 6)
                seen << QString::number(real.ask(m_dialog, "Stop?", "Stop", "Keep"));
            else
                real.show(m_dialog, "Failed", "Caption", MessageBoxes::Icon::Stop);
        }
        QCOMPARE(seen.join('|'), "Sorvane Stop? 4|0|Sorvane Stop? 4|0|Sorvane Stop? 4|1|Caption Failed 3");
    }

    // Steps, ";" apart: an event "CODE USER GROUP ADDRESS SERVER" (CODE as eventCode() reads it; SERVER A,
    // B or an address; "-" for an empty text), "pick SERVER", "group NAME", or a note: "?groups", "?rows"
    // (online rows, top first: "address user group server"). The notes, "|" after each, are compared.
    void eventSequencesGiveTheirRows_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        QTest::newRow("log-ons of the selected server under the filter")
            << "on alice Staff 10.1.0.5 A; on olga Other 10.2.0.5 B; ?rows; pick A; ?rows; ?groups;"
               "on adam Admins 10.1.0.6 A; on al All 10.1.0.7 A; on sam staff 10.1.0.8 A; ?groups;"
               "on alice2 Staff 10.1.0.5 A; ?rows;"
               "group staff; ?rows; on alice3 Staff 10.1.0.5 A; on gus Guests 10.1.0.9 A; ?rows; ?groups;"
               "group All; ?rows; group Guests; pick B; ?groups; ?rows"
            << "|10.1.0.5 alice Staff A|All Staff|Admins All Staff staff|"
               "10.1.0.5 alice2 Staff A,10.1.0.8 sam staff A,10.1.0.7 al All A,10.1.0.6 adam Admins A|"
               "10.1.0.8 sam staff A|10.1.0.8 sam staff A|Admins All Guests Staff staff|"
               "10.1.0.9 gus Guests A,10.1.0.5 alice3 Staff A,10.1.0.8 sam staff A,10.1.0.7 al All A,"
               "10.1.0.6 adam Admins A|All Other|10.2.0.5 olga Other B|";
        QTest::newRow("log-offs from any server; a failed attempt elsewhere hides nobody")
            << "on alice Staff 10.1.0.5 A; on bob Staff 10.1.0.6 A; on carl Staff 10.1.0.7 A; pick A;"
               "pw bob Staff 10.1.0.6 B; off alice Staff 10.1.0.5 B; marked carl Staff 10.1.0.7 A; off zed - "
               "10.9.0.1 A;"
               "?rows;"
               "pick B; pick A; ?rows"
            << "10.1.0.6 bob Staff A|10.1.0.6 bob Staff A|";
        QTest::newRow("a reboot empties the list of its own server only")
            << "on alice Staff 10.1.0.5 A; on bob Guests 10.1.0.6 A; on olga Other 10.2.0.5 B; pick A;"
               "reboot - - 0.0.0.0 B; ?rows; on olga Other 10.2.0.5 B; reboot - - 0.0.0.0 A; ?rows;"
               "pick B; ?rows"
            << "10.1.0.6 bob Guests A,10.1.0.5 alice Staff A||10.2.0.5 olga Other B|";
    }

    void eventSequencesGiveTheirRows()
    {
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        start();
        auto server = [](const QString& n) { return n == "A" ? "10.0.0.3" : n == "B" ? "10.0.0.20" : n; };
        auto address = [](const QString& dots) { return quint32(::inet_addr(dots.toLatin1().constData())); };
        auto* groups = child<QComboBox>("GroupFilter");
        const auto rows = [&] {
            const OnlineUserModel& model = m_dialog->onlineUserModel();
            QStringList out;
            for (int row = 0; row < model.rowCount(); ++row)
                out << QString::fromLatin1(model.cellText(row, 2) + ' ' + model.cellText(row, 3) + ' ' +
                                           model.cellText(row, 4) + ' ' + model.cellText(row, 5));
            return out.join(',').replace("10.0.0.20", "B").replace("10.0.0.3", "A");
        };
        QString noted;
        for (const QString& step : steps.split(';')) {
            const QStringList w = step.trimmed().split(' ');
            if (w[0].startsWith('?') || w[0] == "pick" || w[0] == "group")
                QVERIFY(waitForEvents());
            if (w[0] == "pick")
                pickServer(server(w[1]));
            else if (w[0] == "group")
                pickEntry("GroupFilter", groups->findText(w[1], Qt::MatchExactly | Qt::MatchCaseSensitive));
            else if (w[0] == "?rows")
                noted += rows() + '|';
            else if (w[0] == "?groups")
                noted += column(groups->view(), 0).join(' ') + '|';
            else
                send(eventCode(w[0]), w[1] == "-" ? QByteArray() : w[1].toLatin1(), address(server(w[4])),
                     w[2] == "-" ? QByteArray() : w[2].toLatin1(), address(w[3]));
        }
        QCOMPARE(noted, notes);
    }

    // Keys pressed on controls, or "click" (the control) or "close" (the window's close button), then
    // the answers to the questions asked, in turn; the last one ends the window or not.
    void onlyAnAnsweredQuestionStopsTheMonitor_data()
    {
        QTest::addColumn<QString>("controls");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<int>("questions");
        const QStringList rows = {
            "Enter on Close: Close: Return: Stop: 0",
            "Enter on an event row, the server list: EventList,ServerList: Enter Return: Stop: 0",
            "Escape twice in a filter: EventFilter: X Escape Escape: Keep monitoring: 1",
            "Close: Close: click click: Keep monitoring,Stop: 2",
            "Escape on a list: OnlineUserList: Escape: Stop: 1",
            "Quit in the menu: EventList: Ctrl+Q: Stop: 1",
            "the close button: : close: Keep monitoring: 1"};
        for (const QString& row : rows) {
            const QStringList c = row.split(": ");
            QTest::newRow(qPrintable(c[0])) << c[1] << c[2] << c[3] << c[4].toInt();
        }
    }

    void onlyAnAnsweredQuestionStopsTheMonitor()
    {
        QFETCH(QString, controls);
        QFETCH(QString, keys);
        QFETCH(QString, answers);
        QFETCH(int, questions);
        start();
        send(LoggedOn, "alice");
        QVERIFY(waitForEvents());
        RecordingBoxes& boxes = m_fixture->boxes;
        for (const QString& name : controls.split(',')) {
            auto* widget = name.isEmpty() ? m_dialog : child<QWidget>(name.toLatin1().constData());
            widget->setFocus();
            for (const QString& key : keys.split(' ')) {
                boxes.answer = answers.split(',').value(boxes.questions.size(), answers.section(',', -1));
                if (key == "close")
                    m_dialog->close();
                else if (key == "click")
                    QTest::mouseClick(widget, Qt::LeftButton);
                else
                    QTest::keySequence(widget, QKeySequence(key));
            }
        }
        QCOMPARE(boxes.questions.size(), questions);
        QCOMPARE(m_dialog->isVisible(), !answers.endsWith("Stop") || questions == 0);
        if (questions)
            QCOMPARE(
                boxes.questions.last(),
                "Stop monitoring? Events sent to this computer will not be logged until Sorvane runs again.");
    }

    void rowsStayRightPastFourGibibytesOfText()
    {
        // Chunks of 32 bytes, one row's text each: 5,000 rows use more chunks than a position of the
        // old 32-bit packing could number.
        EventListModel model(nullptr, 4000, 32);
        EventRecord record;
        for (int i = 0; i < 5000; ++i) {
            setField(record.Username, USERNAME_WIDTH, QByteArray::number(i));
            setField(record.Date, DATE_WIDTH, i % 7 ? "12/06/26" : "");
            model.insertEvent(record);
        }
        QCOMPARE(model.rowCount(), 4000);
        QCOMPARE(model.rowsDropped(), quint64(1000));
        for (const int row : {0, 1, 6, 1999, 3999})
            QCOMPARE(model.cellText(row, 3) + model.cellText(row, 0),
                     QByteArray::number(4999 - row) + ((4999 - row) % 7 ? "12/06/26" : ""));
        QVERIFY(model.bytesUsed() < 4000 * 50);
    }
};

int runMainWindowTest(int argc, char** argv)
{
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
