// SPDX-License-Identifier: GPL-3.0-or-later
#include "Harness.h"

#include "maindlg/EventListModel.h"
#include "maindlg/OnlineUserModel.h"
#include "maindlg/RowFilterModel.h"
#include "widgets/DialogUnits.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace
{

struct Sent {
    quint32 code;
    const char* user;
    quint32 server;
};

// Top (newest) last: the list shows them the other way round.
const Sent SEQUENCE[] = {{LoggedOn, "alice", SERVER_A},
                         {TryingInvalidPasswords, "bob", SERVER_B},
                         {AccountLockedUp, "bob", SERVER_B},
                         {LoggedOff, "alice", SERVER_A},
                         {AccessingFilteredSites, "carol", SERVER_A},
                         {AccountIsDisabled, "Dave", SERVER_B},
                         {FirewallRebooted, "", SERVER_A},
                         {AccessTimeExpired, "carol", SERVER_A},
                         {TryingInvalidUserNames, "admin", SERVER_B},
                         {AccountMarkedForLockUp, "bob", SERVER_B},
                         {12, "eve", SERVER_A}};

} // namespace

class FilterTest : public WindowTest
{
    Q_OBJECT

    int m_cap = 1 << 30;

    void sendSequence()
    {
        for (const Sent& s : SEQUENCE)
            send(s.code, s.user, s.server);
        QVERIFY(waitForEvents(m_cap));
    }

    void pickKind(int entry)
    {
        auto* kinds = child<QComboBox>("EventKindFilter");
        kinds->setFocus();
        while (kinds->currentIndex() != entry)
            QTest::keyClick(kinds, kinds->currentIndex() < entry ? Qt::Key_Down : Qt::Key_Up);
    }

    void typeFilter(const QString& text)
    {
        QTest::keyClick(m_dialog, Qt::Key_F, Qt::ControlModifier);
        auto* field = child<QLineEdit>("EventFilter");
        QCOMPARE(QApplication::focusWidget(), field);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        // QTest types ASCII only; a text from an input method arrives whole.
        if (!text.contains(QRegularExpression("[^\\x20-\\x7e]")))
            QTest::keyClicks(field, text);
        else
            field->insert(text);
        QCOMPARE(field->text(), text);
    }

    // The list's own menu, as a right-click opens it, with the entries' texts.
    QMenu* openMenu(QTableView* view)
    {
        const QPoint at(5, 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &event);
        return qobject_cast<QMenu*>(QApplication::activePopupWidget());
    }

    void triggerEntry(QTableView* view, const QString& text)
    {
        QMenu* menu = openMenu(view);
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
    void cleanup()
    {
        m_fixture.reset();
        m_cap = 1 << 30;
    }

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
        QTest::newRow("nothing") << "zzz" << 0 << users("");
        QTest::newRow("outside Latin-1") << QStringLiteral("b\u0151b") << 0 << users("");
        QTest::newRow("log-ons and log-offs") << "" << 1 << users("alice,alice");
        QTest::newRow("failed attempts") << "" << 2 << users("admin,bob");
        QTest::newRow("locked or disabled") << "" << 3 << users("bob,Dave,bob");
        QTest::newRow("filtered sites") << "" << 4 << users("carol");
        QTest::newRow("access time expired") << "" << 5 << users("carol");
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
        pickKind(kind);
        auto* view = child<QTableView>("EventList");
        QCOMPARE(column(view, 3), users);
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("%1 of 11 events").arg(users.size()));
        const auto kinds = child<QComboBox>("EventKindFilter");
        QCOMPARE(kinds->accessibleName(), QStringLiteral("Event kinds"));
        QCOMPARE(kinds->count(), 7);
        QCOMPARE(kinds->itemText(0), QStringLiteral("All events"));
    }

    void newEventsWhileFilteredAndClearingShowsTheWholeList()
    {
        start();
        sendSequence();
        auto* view = child<QTableView>("EventList");
        const QByteArray unfiltered = m_dialog->dumpViews();
        typeFilter("bob");
        pickKind(3);
        send(AccountIsDisabled, "bobby", SERVER_B);
        send(AccountIsDisabled, "carl", SERVER_B);
        send(LoggedOn, "bob", SERVER_A);
        send(AccountLockedUp, "Bob", SERVER_A);
        QVERIFY(waitForEvents(m_cap));
        QCOMPARE(column(view, 3), QString("Bob,bobby,bob,bob").split(u','));
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("4 of 15 events"));

        // Escape empties the field, and "All events" with it shows the whole list, row for row.
        auto* field = child<QLineEdit>("EventFilter");
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(field->text().isEmpty());
        pickKind(0);
        QVERIFY(!m_dialog->eventView().isFiltering());
        QCOMPARE(child<QLabel>("EventCount")->text(), QString());
        const EventListModel& model = m_dialog->eventModel();
        QCOMPARE(view->model()->rowCount(), model.rowCount());
        for (int row = 0; row < model.rowCount(); ++row)
            for (int col = 0; col < 5; ++col)
                QCOMPARE(view->model()->index(row, col).data().toString(),
                         QString::fromLatin1(model.cellText(row, col)));
        QVERIFY(m_dialog->dumpViews().endsWith(unfiltered.mid(unfiltered.indexOf("EventList:\n") + 11)));
    }

    void theNewestRowsStayUnderTheCapFilteredOrNot()
    {
        start(4);
        m_cap = 4;
        typeFilter("keep");
        for (const char* user : {"keep1", "x1", "keep2", "x2", "keep3", "x3", "x4"})
            send(LoggedOn, user);
        QVERIFY(waitForEvents(m_cap));
        QTRY_COMPARE(m_dialog->eventModel().cellText(0, 3), QByteArray("x4"));
        // The list holds keep3, x2, x3, x4: keep1 and keep2 left with the oldest rows.
        auto* view = child<QTableView>("EventList");
        QCOMPARE(column(view, 3), QStringList{"keep3"});
        QCOMPARE(child<QLabel>("EventCount")->text(), QStringLiteral("1 of 4 events"));
        typeFilter("");
        QCOMPARE(column(view, 3), QString("x4,x3,keep3,x2").split(u','));
        QCOMPARE(m_dialog->statusText(), QStringLiteral("Listening for events on UDP port %1, 3 oldest rows no "
                                                        "longer shown")
                                             .arg(m_fixture->endpoints.eventPort));
        QCOMPARE(readFile(QFile::decodeName(m_fixture->logPath())).count('\n'), 7);
    }

    void onlineUsersFilterByText()
    {
        start();
        send(LoggedOn, "alice", SERVER_A);
        send(LoggedOn, "bob", SERVER_A);
        send(LoggedOn, "Alina", SERVER_A);
        QVERIFY(waitForEvents(m_cap));
        child<QListWidget>("ServerList")->setCurrentRow(0);
        auto* users = child<QTableView>("OnlineUserList");
        QCOMPARE(column(users, 3), QString("Alina,bob,alice").split(u','));
        auto* field = child<QLineEdit>("OnlineUserFilter");
        QCOMPARE(field->accessibleName(), QStringLiteral("Filter online users"));
        QTest::keyClicks(field, "ALI");
        QCOMPARE(column(users, 3), QString("Alina,alice").split(u','));
        send(LoggedOn, "malik", SERVER_A);
        send(LoggedOff, "alice", SERVER_A);
        QVERIFY(waitForEvents(m_cap));
        // The log-off came from another address: alice stays; malik is new at the top.
        QCOMPARE(column(users, 3), QString("malik,Alina,alice").split(u','));
    }

    void copyTakesTheSelectedRowsInViewOrder()
    {
        start();
        sendSequence();
        auto* view = child<QTableView>("EventList");
        view->horizontalHeader()->moveSection(3, 0); // Username first, as the operator dragged it
        view->horizontalHeader()->hideSection(1);
        const auto cellCentre = [view](int row) {
            return view->visualRect(view->model()->index(row, 2)).center();
        };
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cellCentre(1));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, cellCentre(3));
        QApplication::clipboard()->clear();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        const QString expected = "bob\t12/06/2026\t10.0.0.20\t Account Marked for LockUp\n"
                                 "carol\t12/06/2026\t10.0.0.3\t Access time Expired\n";
        QCOMPARE(QApplication::clipboard()->text(), expected);

        QApplication::clipboard()->clear();
        triggerEntry(view, "Copy");
        QCOMPARE(QApplication::clipboard()->text(), expected);
    }

    void exportWritesQuotedUtf8OfTheShownRowsOrSaysWhyNot()
    {
        start();
        send(LoggedOn, "plain", SERVER_B);
        send(LoggedOn, "say \"hi\", then\rgo");
        send(LoggedOn, "J\xF6rg");
        QVERIFY(waitForEvents(m_cap));
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
        QCOMPARE(readFile(path),
                 QByteArray("Date,LoginTime,ServerIPAddress,Username,EventMessage\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,J\xC3\xB6rg, Logged on\r\n"
                            "12/06/2026,10:00:00,10.0.0.3,\"say \"\"hi\"\", then\rgo\", Logged on\r\n"));
        QVERIFY(m_fixture->boxes.messages.isEmpty());

        // The online list exports the same way; cancelling the chooser writes nothing.
        m_dialog->chooseExportPath = [](QWidget*, const QString&, const QString&, const QString&) {
            return QString();
        };
        triggerEntry(child<QTableView>("OnlineUserList"), "Export to CSV...");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"events.csv"});

        // A failed export says why, and leaves no partial file.
        typeFilter("");
        for (int i = 0; i < 400; ++i)
            send(LoggedOn, "user" + QByteArray::number(i));
        QVERIFY(waitForEvents(m_cap));
        QString failing = dir.filePath("missing/events.csv");
        m_dialog->chooseExportPath = [&](QWidget*, const QString&, const QString&, const QString&) {
            return failing;
        };
        triggerEntry(child<QTableView>("EventList"), "Export to CSV...");
        QCOMPARE(m_fixture->boxes.messages.size(), 1);
        QVERIFY2(m_fixture->boxes.messages.last().contains(QString::fromLocal8Bit(std::strerror(ENOENT))),
                 qPrintable(m_fixture->boxes.messages.last()));

        // A file-size limit stops the write part-way: the file of that name keeps what it held.
        failing = path;
        const QByteArray earlier = readFile(path);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 4096;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        triggerEntry(child<QTableView>("EventList"), "Export to CSV...");
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(m_fixture->boxes.messages.size(), 2);
        QVERIFY2(m_fixture->boxes.messages.last().contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
                 qPrintable(m_fixture->boxes.messages.last()));
        QCOMPARE(m_fixture->boxes.icons.back(), MessageBoxes::Icon::Critical);
        QCOMPARE(readFile(path), earlier);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"events.csv"});
    }

    void enterAndEscapeInAFilterFieldAndTheWindow()
    {
        start();
        for (const char* name : {"EventFilter", "OnlineUserFilter"}) {
            auto* field = child<QLineEdit>(name);
            field->setFocus();
            QTest::keyClicks(field, "abc");
            QTest::keyClick(field, Qt::Key_Return);
            QVERIFY(m_dialog->isVisible());
            QCOMPARE(field->text(), QStringLiteral("abc"));
            QTest::keyClick(field, Qt::Key_Escape);
            QVERIFY(m_dialog->isVisible());
            QCOMPARE(field->text(), QString());
        }
        // Outside a field, or in an empty one, they close the window as its buttons would.
        QTest::keyClick(child<QLineEdit>("EventFilter"), Qt::Key_Escape);
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_dialog->result(), int(QDialog::Rejected));
        m_dialog->show();
        QTest::keyClick(m_dialog, Qt::Key_Return);
        QVERIFY(!m_dialog->isVisible());
        QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
    }

    void filteredRowsFollowEveryChangeOfTheirList()
    {
        // Against a plain list: top insertions, removals anywhere, lookups, batches that reset, filter
        // changes; the online list and its filtered view both follow.
        OnlineUserModel source;
        RowFilterModel filtered(&source);
        QAbstractItemModelTester tester(&filtered, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTableView view;
        view.setModel(&filtered);
        std::vector<QByteArray> reference; // addresses, top first
        std::srand(11);
        QByteArray text = "7";
        int compared = 0;
        filtered.setFilter(QString::fromLatin1(text));
        for (int step = 0; step < 6000; ++step) {
            if (step % 1000 == 0)
                source.beginBatch();
            if (step % 1000 == 100)
                source.endBatch();
            if (step % 1500 == 700) {
                text = text == "7" ? "1" : "7";
                filtered.setFilter(QString::fromLatin1(text));
            }
            const QByteArray address =
                "10.0." + QByteArray::number(std::rand() % 30) + "." + QByteArray::number(std::rand() % 40);
            const auto at = std::find(reference.begin(), reference.end(), address);
            QCOMPARE(source.findAddress(address), at == reference.end() ? -1 : int(at - reference.begin()));
            if (at != reference.end()) {
                source.removeRowAt(int(at - reference.begin()));
                reference.erase(at);
            } else {
                OnlineUser user;
                setField(user.IPAddress, 15, address);
                source.insertTop(user);
                reference.insert(reference.begin(), address);
            }
            // Inside a batch that turned into a reset, the rows are only known at its end.
            if (step % 1000 >= 100 && (step % 97 == 0 || step % 1000 == 100)) {
                QStringList expected;
                for (const QByteArray& a : reference)
                    if (a.contains(text))
                        expected << QString::fromLatin1(a);
                QStringList shown;
                for (int row = 0; row < filtered.rowCount(); ++row)
                    shown << filtered.index(row, 2).data().toString();
                QCOMPARE(shown, expected);
                QCOMPARE(source.rowCount(), int(reference.size()));
                for (int row = 0; row < source.rowCount(); ++row)
                    QCOMPARE(source.cellText(row, 2), reference[std::size_t(row)]);
                ++compared;
            }
        }
        QVERIFY(compared > 50);
        QVERIFY(filtered.indexBytes() <= 4 * std::size_t(source.rowCount()) + 1024);
    }
};

int runFilterTest(int argc, char** argv)
{
    FilterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filters.moc"
