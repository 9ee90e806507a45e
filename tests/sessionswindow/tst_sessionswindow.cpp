// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "common/RecordingBoxes.h"
#include "sessionswindow/SessionsWindow.h"
#include "store/EventStore.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

// Microseconds of a local time on 2026-03-15.
static qint64 at(const char* time)
{
    return QDateTime(QDate(2026, 3, 15), QTime::fromString(QLatin1String(time))).toMSecsSinceEpoch() * 1000;
}

static EventRecord eventOf(quint8 code, const QByteArray& user, quint8 host)
{
    return decodeEvent(
        eventDatagram(code, user, "Staff", ip(10, 0, 0, host), ip(192, 168, 1, 254)).constData(), 157);
}

class SessionsWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<EventStore> m_store; // a monitor's, still running

private slots:
    void initTestCase()
    {
        StoreOptions options;
        options.path = m_dir.filePath("store.db");
        options.keepDays = 0;
        options.site = "here";
        m_store = std::make_unique<EventStore>(options);
        // alice and bob on one address in turn; carol on another, before them.
        const std::tuple<const char*, quint8, const char*, quint8> events[] = {
            {"09:00", LoggedOn, "carol", 7},         {"09:30", LoggedOff, "carol", 7},
            {"10:00", LoggedOn, "alice", 5},         {"11:00", LoggedOff, "alice", 5},
            {"12:00", LoggedOn, "bob", 5},           {"13:00", LoggedOn, "alice", 6},
            {"13:20", AccessTimeExpired, "alice", 6}};
        std::vector<SessionChange> sessions;
        for (const auto& [time, code, user, host] : events) {
            const EventRecord record = eventOf(code, user, host);
            m_store->storeEvents({{record}, at(time), 0});
            sessions.push_back({code == LoggedOn, at(time), makeOnlineUser(record), eventKeyword(code)});
        }
        m_store->storeSessions(sessions);
        m_store->storeEvents({std::vector(5000, eventOf(TryingInvalidPasswords, "zed", 9)), at("08:00"), 0});
        StoreReader reader; // until the writer has every event, and the users with sessions
        QCOMPARE(reader.open(options.path), QString());
        std::vector<UserTotal> users;
        int rows = 0;
        QTRY_COMPARE((rows = 0,
                      reader.events({}, [&](const auto& chunk) { return rows += int(chunk.size()); }),
                      reader.totals({}, 0, users), rows + int(users.size())),
                     5007 + 3);
    }

    // The store (a file name, empty for the monitor's) and the steps, one word each:
    // "NAME=VALUE" types into a field ("_" for a blank), "results=I" picks a kind, "enter" presses Enter
    // where the focus is, "cancel", "filter=TEXT" (kept for the next answer), "csv" exports; "?"
    // copies every row listed and notes it (an open session's duration as "~"), "status" the status
    // line.
    void operatorAsksTheStore_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        const auto row = [](const char* name, const char* store, const char* steps, const QString& notes) {
            QTest::newRow(name) << store << steps << notes;
        };
        const QString alice =
            "alice|Staff|10.0.0.5|192.168.1.254|2026-03-15 10:00:00|2026-03-15 11:00:00|1:00:00|"
            "LoggedOff|here;";
        row("who had the address at a time", "",
            "Address=10.0.0.5 At=2026-03-15T10:30 enter ? At=2026-03-15T12:30 enter ? status",
            alice + "|bob|Staff|10.0.0.5|192.168.1.254|2026-03-15 12:00:00|online|~||here;|1 session|");
        row("a user's sessions in a range", "",
            "User=alice enter status To=2026-03-15 enter ? From=2026-03-15T11:00 enter status",
            "2 sessions|" + alice +
                "alice|Staff|10.0.0.6|192.168.1.254|2026-03-15 13:00:00|2026-03-15 13:20:00|0:20:00|"
                "AccessTimeExpired|here;|1 session|");
        row("totals inside the range", "",
            "results=2 From=2026-03-15T09:15 To=2026-03-15T13:10 enter ? filter=O status "
            "To=2026-03-15T13:10 enter ? status",
            "alice|2|1:10:00|1.17;bob|1|1:10:00|1.17;carol|1|0:15:00|0.25;|2 of 3 users|"
            "bob|1|1:10:00|1.17;carol|1|0:15:00|0.25;|2 of 3 users|");
        row("events exported", "", "results=1 User=bob enter csv",
            "Arrival,Event,User,Group,Address,Server,Login "
            "time,Date,Time,Header,Site,Source\r;"
            "2026-03-15 "
            "12:00:00,LoggedOn,bob,Staff,10.0.0.5,192.168.1.254,09:59,12/06/2026,10:00:00,0,here,live\r;|");
        row("cancel leaves the window usable", "", "results=1 enter cancel status User=bob enter status",
            "Cancelled|1 event|");
        row("fields that make no sense", "",
            "Address=10.0.0.05 enter status Address=_ Server=1.2.3 enter status Server=_ At=noon enter "
            "status "
            "At=_ From=2026-03-16 To=2026-03-15 enter status",
            "Address: 05 has a leading zero, which some programs read as octal|Server: not an IPv4 address|"
            "At: not a date and time (YYYY-MM-DD HH:MM)|To: the range ends before it starts|");
        row("a missing store", "missing.db", "enter status",
            "Could not ask the store DIR/missing.db: no such file|");
        row("not a store", "foreign", "enter status",
            "Could not ask the store DIR/foreign: not an SQLite database|");
    }

    void operatorAsksTheStore()
    {
        QFETCH(QString, store);
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        QVERIFY(writeFileBytes(m_dir.filePath("foreign"), QByteArray(4096, 'x')));
        RecordingBoxes boxes;
        SessionsWindow dlg(nullptr, m_dir.filePath(store.isEmpty() ? "store.db" : store), boxes);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        for (QWidget* widget : dlg.findChildren<QWidget*>()) // a screen reader names every control
            QVERIFY2(widget->focusPolicy() == Qt::NoFocus || !widget->accessibleName().isEmpty(),
                     qPrintable(widget->objectName()));
        QString noted;
        dlg.chooseExportPath = [&](auto...) { return m_dir.filePath("rows"); };
        auto* list = dlg.findChild<QTableView*>("SessionsList");
        auto* cancel = dlg.findChild<QPushButton*>("&Cancel");
        for (const QString& step : steps.split(' ')) {
            const QString word = step.section('=', 0, 0), value = step.section('=', 1).replace('_', ' ');
            if (step == "?" || step == "status" || step == "csv")
                QTRY_VERIFY(!cancel->isEnabled()); // the answer is in
            if (step == "?") {
                // A cut-off cell shows its whole text as a tip; cells and titles give no other roles.
                const QModelIndex cell = list->model()->index(0, 0);
                QVERIFY(cell.data(Qt::ToolTipRole) == cell.data() && !cell.data(Qt::FontRole).isValid() &&
                        !list->model()->headerData(0, Qt::Horizontal, Qt::FontRole).isValid());
                list->selectAll();
                QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
                noted += QApplication::clipboard()->text().replace('\t', '|').replace('\n', ';').replace(
                             QRegularExpression("online\\|[0-9:]+"), "online|~") +
                         '|';
            } else if (step == "status") {
                // Rows may come before a cancel takes; how many is no matter.
                const QString text =
                    dlg.findChild<QLabel*>("SessionsStatus")->text().replace(m_dir.path(), "DIR");
                noted += (text.startsWith("Cancelled") ? "Cancelled" : text) + '|';
            } else if (step == "enter")
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            else if (step == "cancel")
                QTest::mouseClick(cancel, Qt::LeftButton);
            else if (word == "results")
                dlg.findChild<QComboBox*>("Results")->setCurrentIndex(value.toInt());
            else if (word == "filter")
                dlg.findChild<QLineEdit*>("SessionsFilter")->setText(value);
            else if (step == "csv") {
                list->findChild<QMenu*>()->actions()[2]->trigger();
                noted += QString::fromUtf8(fileBytes(m_dir.filePath("rows"))).replace('\n', ';') + '|';
            } else {
                auto* field = dlg.findChild<QLineEdit*>(word);
                QVERIFY2(field, qPrintable("unknown step: " + step));
                field->setFocus();
                field->clear();
                QTest::keyClicks(field, value.trimmed());
            }
        }
        QCOMPARE(noted, notes);
        QVERIFY(boxes.messages.isEmpty());
    }
};

QTEST_MAIN(SessionsWindowTest)
#include "tst_sessionswindow.moc"
