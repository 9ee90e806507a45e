// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/WindowHarness.h"

#include "mainwindow/OnlineUserModel.h"
#include "mainwindow/RowFilterModel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>

#include <csignal>
#include <sys/resource.h>

namespace
{

// "CODE USER SERVER" each, top (newest) last: the list shows them the other way round.
const char SEQUENCE[] =
    "on alice A;pw bob B;locked bob B;off alice A;sites carol A;disabled Dave B;reboot - A;"
    "expired carol A;names admin B;marked bob B;12 eve A";

} // namespace

class FilterTest : public WindowTest
{
    Q_OBJECT

    void sendSequence()
    {
        for (const QString& step : QString(SEQUENCE).split(';')) {
            const QStringList w = step.split(' ');
            send(eventCode(w[0]), w[1] == "-" ? "" : w[1].toLatin1(), w[2] == "A" ? SERVER_A : SERVER_B);
        }
        QVERIFY(waitForEvents());
    }

    void typeFilter(const QString& text)
    {
        QTest::keyClick(m_dialog, Qt::Key_F, Qt::ControlModifier);
        auto* field = child<QLineEdit>("EventFilter");
        QCOMPARE(QApplication::focusWidget(), field);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
        QCOMPARE(field->text(), text);
    }

    // The entry of the list's own menu, as a right-click opens it.
    void triggerEntry(QTableView* view, const QString& text)
    {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                view->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(view->viewport(), &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QAction* found = nullptr;
        for (QAction* action : menu->actions())
            if (QString(action->text()).remove(u'&') == text)
                found = action;
        QVERIFY2(found, qPrintable(text));
        menu->close();
        found->trigger();
    }

private slots:
    void cleanup() { m_fixture.reset(); }

    void textAndKindKeepTheMatchingEvents_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("users");
        const auto users = [](const char* list) {
            return *list ? QString::fromLatin1(list).split(u',') : QStringList();
        };
        QTest::newRow("user, any case") << "BOB" << 0 << users("bob,bob,bob");
        QTest::newRow("server address") << "10.0.0.20" << 0 << users("bob,admin,Dave,bob,bob");
        QTest::newRow("event text") << "locked" << 0 << users("bob");
        QTest::newRow("unknown code's text") << "unknown event" << 0 << users("eve");
        QTest::newRow("date in every row")
            << "12/06" << 0 << users("eve,bob,admin,carol,,Dave,carol,alice,bob,bob,alice");
        QTest::newRow("failed attempts") << "" << 2 << users("admin,bob");
        QTest::newRow("firewall reboots") << "" << 6 << QStringList{QString()};
        QTest::newRow("text and kind") << "bob" << 3 << users("bob,bob");
    }

    void textAndKindKeepTheMatchingEvents()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QStringList, users);
        start();
        sendSequence();
        typeFilter(text);
        pickEntry("EventKindFilter", kind);
        auto* view = child<QTableView>("EventList");
        QCOMPARE(column(view, 3), users);
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("%1 of 11 events").arg(users.size()));
    }

    void newEventsWhileFilteredAndCopyInViewOrder()
    {
        start();
        sendSequence();
        auto* view = child<QTableView>("EventList");
        typeFilter("bob");
        pickEntry("EventKindFilter", 3);
        send(AccountIsDisabled, "bobby", SERVER_B);
        send(AccountIsDisabled, "carl", SERVER_B);
        send(LoggedOn, "bob", SERVER_A);
        send(AccountLockedUp, "Bob", SERVER_A);
        QVERIFY(waitForEvents());
        QCOMPARE(column(view, 3), QString("Bob,bobby,bob,bob").split(u','));
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("4 of 15 events"));

        // Copy takes the selected rows in view order.
        typeFilter("");
        pickEntry("EventKindFilter", 0);
        view->horizontalHeader()->moveSection(3, 0); // Username first, as the operator dragged it
        view->horizontalHeader()->hideSection(1);
        const auto cellCentre = [view](int row) {
            return view->visualRect(view->model()->index(row, 2)).center();
        };
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cellCentre(5));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, cellCentre(7));
        QApplication::clipboard()->clear();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        const QString expected = "bob\t12/06/2026\t10.0.0.20\t Account Marked for LockUp\n"
                                 "carol\t12/06/2026\t10.0.0.3\t Access time Expired\n";
        QCOMPARE(QApplication::clipboard()->text(), expected);
    }

    void theNewestRowsStayUnderTheCapFilteredOrNot()
    {
        start(3000, 4);
        // Whatever reads a list while it announces a change reads the rows as they then stand.
        auto* view = child<QTableView>("EventList");
        auto* users = child<QTableView>("OnlineUserList");
        using Tester = QAbstractItemModelTester;
        const Tester eventTester(view->model(), Tester::FailureReportingMode::Fatal);
        const Tester userTester(users->model(), Tester::FailureReportingMode::Fatal);
        // The tester compares a list before and after a change; what it reads during the last
        // notice must also be the truth.
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
        quint8 host = 1;
        for (const char* user : {"keep1", "x1", "keep2", "x2", "keep3", "x3", "x4"})
            sendAt(LoggedOn, user, host++);
        sendAt(LoggedOff, "keep2", 3);
        QVERIFY(waitForEvents(4));
        QTRY_COMPARE(m_dialog->eventModel().cellText(0, 3), QByteArray("keep2"));
        // The list holds keep3, x3, x4 and keep2's log-off: the others left with the oldest rows.
        QCOMPARE(column(view, 3), QString("keep2,keep3").split(u','));
        QCOMPARE(duringNotice, column(view, 3));
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("2 of 4 events"));
        QCOMPARE(column(users, 3), QString("keep3,keep1,keep0").split(u','));
        typeFilter("");
        child<QLineEdit>("OnlineUserFilter")->clear();
        sendAt(LoggedOff, "x1", 2);
        sendAt(LoggedOn, "y", 9);
        QVERIFY(waitForEvents(4));
        QTRY_COMPARE(m_dialog->eventModel().cellText(0, 3), QByteArray("y"));
        QCOMPARE(column(view, 3), QString("y,x1,keep2,x4").split(u','));
        QCOMPARE(column(users, 3), QString("y,x4,x3,keep3,x2,keep1,keep0").split(u','));
        QCOMPARE(m_dialog->statusText(),
                 QStringLiteral("Listening for events on UDP port %1, 7 oldest rows no "
                                "longer shown")
                     .arg(m_fixture->endpoints.eventPort));
        QCOMPARE(fileBytes(QFile::decodeName(m_fixture->logPath())).count('\n'), 11);
    }

    void exportWritesQuotedUtf8OfTheShownRowsOrSaysWhyNot()
    {
        start();
        send(LoggedOn, "plain", SERVER_B);
        send(LoggedOn, "say \"hi\", then\rgo");
        send(LoggedOn, "=1+2");
        send(LoggedOn, "\r@x");
        send(LoggedOn, "J\xF6rg");
        QVERIFY(waitForEvents());
        QTemporaryDir dir;
        const QString path = dir.filePath("events.csv");
        QStringList asked;
        m_dialog->chooseExportPath = [&](QWidget* owner, const QString& caption, const QString& name,
                                         const QString&) {
            asked << caption + ": " + name + (owner == m_dialog ? " over the window" : "");
            return path;
        };
        typeFilter("10.0.0.3");
        auto* view = child<QTableView>("EventList");
        triggerEntry(view, "Export to CSV...");
        QCOMPARE(asked, QStringList{"Export to CSV: sorvane-events.csv over the window"});
        QCOMPARE(fileBytes(path),
                 QByteArray("Date,LoginTime,ServerIPAddress,Username,EventMessage\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,J\xC3\xB6rg, Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,\"'\r@x\", Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,'=1+2, Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,\"say \"\"hi\"\", then\rgo\", Logged on\r\n"));
        QVERIFY(m_fixture->boxes.messages.isEmpty());

        // A failed export says why (here a file-size limit stops the write part-way), and the file of
        // that name keeps what it held.
        typeFilter("");
        for (int i = 0; i < 400; ++i)
            send(LoggedOn, "user" + QByteArray::number(i));
        QVERIFY(waitForEvents());
        const QByteArray earlier = fileBytes(path);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 4096;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        triggerEntry(view, "Export to CSV...");
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(m_fixture->boxes.messages.size(), 1);
        QVERIFY(m_fixture->boxes.messages[0].contains(QString::fromLocal8Bit(std::strerror(EFBIG))));
        QCOMPARE(fileBytes(path), earlier);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"events.csv"});
    }

    void filteredRowsFollowEveryChangeOfTheirList()
    {
        // Against a plain list: top insertions, removals anywhere, lookups, batches that reset, clears,
        // filter changes; the online list, its filtered view and their views' rows all follow.
        OnlineUserModel source;
        RowFilterModel filtered(&source);
        QAbstractItemModelTester tester(&filtered, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTableView all, view;
        all.setModel(&source);
        view.setModel(&filtered);
        QStringList reference; // addresses, top first
        std::srand(11);
        QString text = "7";
        filtered.setFilter(text);
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
    }
};

int runFilterTest(int argc, char** argv)
{
    FilterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filters.moc"
