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
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

namespace
{

qint64 at(const char* localTime)
{
    return QDateTime::fromString(QLatin1String(localTime), "yyyy-MM-dd HH:mm").toMSecsSinceEpoch() * 1000;
}

EventRecord eventOf(quint8 code, const QByteArray& user, quint8 host)
{
    return decodeEvent(
        eventDatagram(code, user, "Staff", ip(10, 0, 0, host), ip(192, 168, 1, 254)).constData(), 157);
}

} // namespace

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
        const struct {
            const char* time;
            quint8 code;
            const char* user;
            quint8 host;
        } events[] = {
            {"2026-03-15 09:00", LoggedOn, "carol", 7},         {"2026-03-15 09:30", LoggedOff, "carol", 7},
            {"2026-03-15 10:00", LoggedOn, "alice", 5},         {"2026-03-15 11:00", LoggedOff, "alice", 5},
            {"2026-03-15 12:00", LoggedOn, "bob", 5},           {"2026-03-15 13:00", LoggedOn, "alice", 6},
            {"2026-03-15 13:20", AccessTimeExpired, "alice", 6}};
        std::vector<SessionChange> sessions;
        for (const auto& e : events) {
            const EventRecord record = eventOf(e.code, e.user, e.host);
            m_store->storeEvents({{record}, at(e.time), 0});
            sessions.push_back(
                {e.code == LoggedOn, at(e.time), makeOnlineUser(record), eventKeyword(e.code)});
        }
        m_store->storeSessions(sessions);
        EventBatch many{{}, at("2026-03-14 08:00"), 0};
        many.events.assign(5000, eventOf(TryingInvalidPasswords, "zed", 9)); // a long answer
        m_store->storeEvents(many);
        StoreReader reader;
        QCOMPARE(reader.open(options.path), QString());
        const auto stored = [&] {
            int rows = 0;
            reader.events({},
                          [&](const std::vector<StoredEvent>& chunk) { return rows += int(chunk.size()); });
            std::vector<UserTotal> totals;
            reader.totals({}, 0, totals);
            return rows + int(totals.size());
        };
        QTRY_COMPARE(stored(), 5007 + 3);
    }

    // The store ("missing", "foreign", "none" or the monitor's) and the steps, one word each: "NAME=VALUE"
    // types into a field ("_" for a blank), "results=I" picks a kind, "enter" presses Enter where the
    // focus is, "cancel", "filter=TEXT", "copy" all rows, "csv" exports; "?" notes the rows listed
    // (an open session's duration as "~"), "status" the status line, "esc" whether Esc closed the window.
    void operatorAsksTheStore_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        const QString site = "|here;";
        QTest::newRow("who had the address at a time")
            << ""
            << "Address=10.0.0.5 At=2026-03-15T10:30 enter ? At=2026-03-15T12:30 enter ? status esc"
            << "alice|Staff|10.0.0.5|192.168.1.254|2026-03-15 10:00:00|2026-03-15 "
               "11:00:00|1:00:00|LoggedOff" +
                   site +
                   "|bob|Staff|10.0.0.5|192.168.1.254|2026-03-15 12:00:00|online|~||here;|1 session|closed|";
        QTest::newRow("a user's sessions in a range")
            << ""
            << "User=alice enter status To=2026-03-15 enter ? From=2026-03-15T11:00 enter status"
            << "2 sessions|alice|Staff|10.0.0.5|192.168.1.254|2026-03-15 10:00:00|2026-03-15 "
               "11:00:00|1:00:00|"
               "LoggedOff|here;alice|Staff|10.0.0.6|192.168.1.254|2026-03-15 13:00:00|2026-03-15 13:20:00|"
               "0:20:00|AccessTimeExpired|here;|1 session|";
        QTest::newRow("totals inside the range")
            << ""
            << "results=2 From=2026-03-15T09:15 To=2026-03-15T13:10 enter ? filter=O status"
            << "alice|2|1:10:00|1.17;bob|1|1:10:00|1.17;carol|1|0:15:00|0.25;|2 of 3 users|";
        QTest::newRow("events, copied and exported")
            << ""
            << "results=1 User=bob enter ? copy csv"
            << "2026-03-15 "
               "12:00:00|LoggedOn|bob|Staff|10.0.0.5|192.168.1.254|09:59|12/06/2026|10:00:00|0|here|"
               "live;|2026-03-15 12:00:00\tLoggedOn\tbob\tStaff\t10.0.0.5\t192.168.1.254\t09:59\t12/06/2026\t"
               "10:00:00\t0\there\tlive;|sorvane-events.csv:Arrival,Event,User,Group,Address,Server,Login "
               "time,Date,Time,Header,Site,Source\r;2026-03-15 12:00:00,LoggedOn,bob,Staff,10.0.0.5,"
               "192.168.1.254,09:59,12/06/2026,10:00:00,0,here,live\r;|";
        QTest::newRow("cancel leaves the window usable")
            << ""
            << "results=1 enter cancel status User=bob enter status"
            << "Cancelled|1 event|";
        QTest::newRow("fields that make no sense")
            << ""
            << "Address=10.0.0.05 enter status Address=_ Server=1.2.3 enter status Server=_ At=noon enter "
               "status "
               "At=_ From=2026-03-16 To=2026-03-15 enter status"
            << "Address: 05 has a leading zero, which some programs read as octal|Server: not an IPv4 "
               "address|At: not a date and time "
               "(YYYY-MM-DD HH:MM)|To: the range ends before it starts|";
        QTest::newRow("a missing store") << "missing"
                                         << "enter status"
                                         << "Could not ask the store DIR/missing.db: no such file|";
        QTest::newRow("not a store") << "foreign"
                                     << "enter status"
                                     << "Could not ask the store DIR/foreign: not an SQLite database|";
        QTest::newRow("no store") << "none"
                                  << "status enter status"
                                  << "The monitor keeps no event store.|The monitor keeps no event store.|";
    }

    void operatorAsksTheStore()
    {
        QFETCH(QString, store);
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        QVERIFY(writeFileBytes(m_dir.filePath("foreign"), QByteArray(4096, 'x')));
        const QString location = store.isEmpty() ? m_dir.filePath("store.db")
                                 : store == "none"
                                     ? QString()
                                     : m_dir.filePath(store == "missing" ? "missing.db" : store);
        RecordingBoxes boxes;
        SessionsWindow dlg(nullptr, location, boxes);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QString noted;
        dlg.chooseExportPath = [&](QWidget*, const QString&, const QString& name, const QString&) {
            noted += name + ':';
            return m_dir.filePath("rows");
        };
        auto* list = dlg.findChild<QTableView*>("SessionsList");
        auto* cancel = dlg.findChild<QPushButton*>("&Cancel");
        for (const QString& step : steps.split(' ')) {
            const QString word = step.section('=', 0, 0), value = step.section('=', 1).replace('_', ' ');
            if (step == "?") {
                QTRY_VERIFY(!cancel->isEnabled());
                for (int row = 0; row < list->model()->rowCount(); ++row) {
                    for (int column = 0; column < list->model()->columnCount(); ++column) {
                        const QString cell = list->model()->index(row, column).data().toString();
                        noted +=
                            (column == 6 && list->model()->index(row, 5).data() == "online" ? "~" : cell) +
                            (column + 1 < list->model()->columnCount() ? "|" : ";");
                    }
                }
                noted += '|';
            } else if (step == "status") {
                QTRY_VERIFY(!cancel->isEnabled());
                // Rows may come before a cancel takes; how many is no matter.
                const QString text =
                    dlg.findChild<QLabel*>("SessionsStatus")->text().replace(m_dir.path(), "DIR");
                noted += (text.startsWith("Cancelled") ? "Cancelled" : text) + '|';
            } else if (step == "enter")
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            else if (step == "cancel")
                QTest::mouseClick(cancel, Qt::LeftButton);
            else if (step == "esc") {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
                noted += dlg.isVisible() ? "open|" : "closed|";
            } else if (word == "results")
                dlg.findChild<QComboBox*>("Results")->setCurrentIndex(value.toInt());
            else if (word == "filter")
                dlg.findChild<QLineEdit*>("SessionsFilter")->setText(value);
            else if (step == "copy") {
                list->selectAll();
                QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
                noted += QApplication::clipboard()->text().replace('\n', ';') + '|';
            } else if (step == "csv") {
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
