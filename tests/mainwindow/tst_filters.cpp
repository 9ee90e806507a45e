// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "mainwindow/OnlineUserModel.h"
#include "mainwindow/RowFilterModel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTableView>

// "CODE USER SERVER" each, top (newest) last: the list shows them the other way round.
const char SEQUENCE[] =
    "on alice A;pw bob B;locked bob B;off alice A;sites carol A;disabled Dave B;reboot - A;"
    "expired carol A;names admin B;marked bob B;12 eve A";

class FilterTest : public WindowTest
{
    Q_OBJECT

    void typeFilter(const QString& text)
    {
        QTest::keyClick(m_dialog, Qt::Key_F, Qt::ControlModifier);
        auto* field = child<QLineEdit>("EventFilter");
        QCOMPARE(QApplication::focusWidget(), field);
        field->clear();
        QTest::keyClicks(field, text);
    }

    // Export from the list's own menu, as a right-click opens it.
    static void exportFromMenu(QTableView* view)
    {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                view->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(view->viewport(), &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        menu->close();
        for (QAction* action : menu->actions())
            if (QString(action->text()).remove(u'&') == "Export to CSV...")
                action->trigger();
    }

private slots:
    void cleanup() { m_fixture.reset(); }

    void textAndKindKeepTheMatchingEvents_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("users");
        QTest::newRow("user, any case") << "BOB" << 0 << "bob,bob,bob";
        QTest::newRow("server address") << "10.0.0.20" << 0 << "bob,admin,Dave,bob,bob";
        QTest::newRow("event text") << "locked" << 0 << "bob";
        QTest::newRow("unknown code's text") << "unknown event" << 0 << "eve";
        QTest::newRow("date in every row")
            << "12/06" << 0 << "eve,bob,admin,carol,,Dave,carol,alice,bob,bob,alice";
        QTest::newRow("failed attempts") << "" << 2 << "admin,bob";
        QTest::newRow("firewall reboots") << "" << 6 << "";
        QTest::newRow("text and kind") << "bob" << 3 << "bob,bob";
    }

    void textAndKindKeepTheMatchingEvents()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QString, users);
        start();
        for (const QString& step : QString(SEQUENCE).split(';')) {
            const QStringList w = step.split(' ');
            send(eventCode(w[0]), w[1] == "-" ? "" : w[1].toLatin1(), w[2] == "A" ? SERVER_A : SERVER_B);
        }
        QVERIFY(waitForEvents());
        typeFilter(text);
        auto* kinds = child<QComboBox>("EventKindFilter");
        QStringList offered;
        for (int i = 0; i < kinds->count(); ++i)
            offered << kinds->itemText(i);
        QCOMPARE(offered.join(','), "All events,Log-ons and log-offs,Failed attempts,Locked or disabled "
                                    "accounts,Filtered sites,Access time expired,Firewall reboots");
        pickEntry("EventKindFilter", kind);
        auto* view = child<QTableView>("EventList");
        QCOMPARE(column(view, 3).join(','), users);
        QCOMPARE(child<QLabel>("EventCount")->text(),
                 QStringLiteral("%1 of 11 events").arg(users.count(u',') + 1));
        if (kind != 3)
            return;
        // New events while filtered join in place.
        send(AccountIsDisabled, "bobby", SERVER_B);
        send(AccountIsDisabled, "carl", SERVER_B);
        send(LoggedOn, "bob", SERVER_A);
        send(AccountLockedUp, "Bob", SERVER_A);
        QVERIFY(waitForEvents());
        QCOMPARE(column(view, 3).join(',') + ' ' + child<QLabel>("EventCount")->text(),
                 "Bob,bobby,bob,bob 4 of 15 events");
    }

    void theNewestRowsStayUnderTheCapFilteredOrNot()
    {
        start(3000, 4);
        auto* view = child<QTableView>("EventList");
        auto* users = child<QTableView>("OnlineUserList");
        using Tester = QAbstractItemModelTester;
        const Tester eventTester(view->model(), Tester::FailureReportingMode::Fatal);
        const Tester userTester(users->model(), Tester::FailureReportingMode::Fatal);
        // What a reader sees during the last notice must also be the truth.
        QObject guard;
        QStringList duringNotice;
        connect(view->model(), &QAbstractItemModel::rowsInserted, &guard,
                [&] { duringNotice = column(view, 3); });
        // Each event a date of its own, so that a row read in the wrong place shows.
        const auto sendAt = [this](quint32 code, const char* user, quint8 host) {
            m_fixture->send(eventDatagram(quint8(code), user, "Staff", ip(10, 1, 0, host), SERVER_A,
                                          "12/" + QByteArray::number(m_fixture->sent + 10) + "/2026"));
        };
        sendAt(LoggedOn, "keep0", 0);
        QVERIFY(waitForEvents());
        pickServer("10.0.0.3");
        typeFilter("keep");
        QTest::keyClicks(child<QLineEdit>("OnlineUserFilter"), "keep");
        for (const char* user : {"keep1", "x1", "keep2", "x2", "keep3", "x3", "x4"})
            sendAt(LoggedOn, user, quint8(m_fixture->sent));
        sendAt(LoggedOff, "keep2", 3);
        QTRY_COMPARE(m_dialog->eventModel().cellText(0, 3), QByteArray("keep2"));
        // The list holds keep3, x3, x4 and keep2's log-off: the others left with the oldest rows.
        QCOMPARE(column(view, 3).join(','), "keep2,keep3");
        QCOMPARE(duringNotice, column(view, 3));
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("2 of 4 events"));
        QCOMPARE(column(users, 3).join(','), "keep3,keep1,keep0");
        typeFilter("");
        child<QLineEdit>("OnlineUserFilter")->clear();
        sendAt(LoggedOff, "x1", 2);
        sendAt(LoggedOn, "y", 9);
        QTRY_COMPARE(m_dialog->eventModel().cellText(0, 3), QByteArray("y"));
        QCOMPARE(column(view, 3).join(',') + ' ' + column(users, 3).join(','),
                 "y,x1,keep2,x4 y,x4,x3,keep3,x2,keep1,keep0");
        QVERIFY(m_dialog->statusText().endsWith(", 7 oldest rows no longer shown"));
        QCOMPARE(fileBytes(QFile::decodeName(m_fixture->logPath())).count('\n'), 11);
    }

    void exportWritesQuotedUtf8OfTheShownRows()
    {
        start();
        send(LoggedOn, "plain", SERVER_B);
        for (const char* user : {"say \"hi\", then\rgo", "=1+2", "\r@x", "J\xF6rg"})
            send(LoggedOn, user);
        QVERIFY(waitForEvents());
        QString path = m_fixture->dir.filePath("events.csv"), asked;
        m_dialog->chooseExportPath = [&](QWidget*, const QString&, const QString& name, const QString&) {
            return asked = name, path;
        };
        typeFilter("10.0.0.3");
        exportFromMenu(child<QTableView>("EventList"));
        QCOMPARE(asked, "sorvane-events.csv");
        QCOMPARE(fileBytes(path),
                 QByteArray("Date,LoginTime,ServerIPAddress,Username,EventMessage\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,J\xC3\xB6rg, Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,\"'\r@x\", Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,'=1+2, Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,\"say \"\"hi\"\", then\rgo\", Logged on\r\n"));
        QVERIFY(m_fixture->boxes.messages.isEmpty() &&
                QDir(m_fixture->dir.path()).entryList({"*.part-*"}).isEmpty());
        QVERIFY(QDir().mkdir(path = m_fixture->dir.filePath("folder"))); // a name a folder has: told
        exportFromMenu(child<QTableView>("EventList"));
        QCOMPARE(m_fixture->boxes.messages.size(), 1);
    }

    void filteredRowsFollowEveryChangeOfTheirList()
    {
        // Insertions, removals, lookups, batches, clears, filter changes: list, filter and views follow.
        OnlineUserModel source;
        RowFilterModel filtered(&source);
        QAbstractItemModelTester tester(&filtered, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTableView all, view;
        const QSignalSpy resets(&source, &QAbstractItemModel::modelReset);
        all.setModel(&source);
        view.setModel(&filtered);
        QStringList reference; // addresses, top first
        std::srand(11);
        QString text;
        filtered.setFilter(text = "7");
        for (int step = 0; step < 6000; ++step) {
            if (step % 1000 == 0)
                source.beginBatch();
            if (step % 1000 == 100)
                source.endBatch();
            if (step % 1500 == 700)
                filtered.setFilter(text = QStringList{"7", "1", ""}[(step / 1500 + 1) % 3]);
            if (step % 2000 == 1500) {
                source.clear();
                for (const QString& gone : std::as_const(reference))
                    QCOMPARE(source.findAddress(gone.toLatin1()), -1);
                reference.clear();
            }
            const QString address = QStringLiteral("10.0.%1.%2").arg(std::rand() % 30).arg(std::rand() % 40);
            const int at = int(reference.indexOf(address));
            QCOMPARE(source.findAddress(address.toLatin1()), at);
            if (at >= 0) {
                source.removeRowAt(at);
                reference.removeAt(at);
            } else {
                OnlineUser user;
                setField(user.IPAddress, 15, address.toLatin1());
                source.insertTop(user);
                reference.prepend(address);
            }
            // Inside a batch that turned into a reset, the rows are only known at its end.
            if (step % 1000 >= 100 && (step % 97 == 0 || step % 1000 == 100)) {
                QCOMPARE(column(&all, 2), reference);
                QCOMPARE(column(&view, 2), reference.filter(text));
                QCOMPARE(all.verticalHeader()->count(), source.rowCount());
                QCOMPARE(view.verticalHeader()->count(), filtered.rowCount());
            }
        }
        QVERIFY(filtered.indexBytes() <= 4 * std::size_t(source.rowCount()) + 1024);
        QCOMPARE(resets.size(), 6 + 3); // each batch of 100 changes, each clear
    }
};

int runFilterTest(int argc, char** argv)
{
    FilterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filters.moc"
