// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/RecordingBoxes.h"
#include "history/HourlyChart.h"
#include "history/history.h"
#include "log/LogReader.h"
#include "log/UserLog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QBarSet>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedBarSeries>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

namespace
{

// Gives its bytes in one read, then fails the way a disk does.
class FailingSource : public LogSource
{
public:
    explicit FailingSource(QByteArray data) : m_data(std::move(data)) {}
    long read(char* buffer, std::size_t size) override
    {
        if (m_done) {
            errno = EIO;
            return -1;
        }
        m_done = true;
        const std::size_t n = std::min(size, static_cast<std::size_t>(m_data.size()));
        std::memcpy(buffer, m_data.constData(), n);
        return static_cast<long>(n);
    }

private:
    QByteArray m_data;
    bool m_done = false;
};

QByteArray line(const char* time, const char* user, const char* keyword, const char* date = "03/15/2026")
{
    return QByteArray(time) + "  " + date + "  192.168.1.10  " + user + "  " + keyword;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList texts(const QComboBox* box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

} // namespace

class TestHistoryDlg : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_path;
    std::unique_ptr<QWidget> m_owner;
    RecordingBoxes m_boxes;

    void writeBytes(const QList<QByteArray>& lines)
    {
        QFile file(QFile::decodeName(m_path));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const QByteArray& line : lines)
            file.write(line + "\r\n");
    }
    void writeLog(const QStringList& lines)
    {
        QList<QByteArray> bytes;
        for (const QString& line : lines)
            bytes << line.toLatin1();
        writeBytes(bytes);
    }

    std::unique_ptr<CHistoryDlg> open(QDate today)
    {
        auto dlg = std::make_unique<CHistoryDlg>(m_owner.get(), m_path, m_boxes, [today] { return today; });
        dlg->show();
        return dlg;
    }

    static QComboBox* box(CHistoryDlg& dlg, const char* name) { return dlg.findChild<QComboBox*>(name); }

    static QStringList rows(CHistoryDlg& dlg)
    {
        const QAbstractItemModel* model = dlg.findChild<QListView*>("HistoryList")->model();
        QStringList out;
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->index(row, 0).data().toString();
        return out;
    }
    static QString listed(CHistoryDlg& dlg)
    {
        const QStringList out = rows(dlg);
        return out.isEmpty() ? QStringLiteral("-") : out.join(';');
    }

    static void refresh(CHistoryDlg& dlg)
    {
        QTest::mouseClick(dlg.findChild<QPushButton*>("Refresh"), Qt::LeftButton);
    }

    // The operator opens the drop-down and picks an entry.
    static void pick(QComboBox* combo, int row)
    {
        combo->showPopup();
        QAbstractItemView* view = combo->view();
        QTRY_VERIFY(view->isVisible());
        view->setCurrentIndex(combo->model()->index(row, 0));
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY(!view->isVisible());
    }

    static void typeYear(CHistoryDlg& dlg, const QString& text)
    {
        QLineEdit* edit = box(dlg, "YearList")->lineEdit();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }

    void checkCentred(const CHistoryDlg& dlg)
    {
        const QPoint want = m_owner->geometry().center();
        QTRY_VERIFY((dlg.geometry().center() - want).manhattanLength() <= 1);
    }

private slots:
    void init()
    {
        m_path = QFile::encodeName(m_dir.filePath(QStringLiteral("userfile")));
        QFile::remove(QFile::decodeName(m_path));
        m_boxes = RecordingBoxes();
        m_owner = std::make_unique<QWidget>();
        m_owner->setGeometry(40, 40, 700, 520);
        m_owner->show();
    }

    void cleanup() { m_owner.reset(); }

    void controlsAreNamedForTheirReaders()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QCOMPARE(dlg->windowTitle(), QStringLiteral("History"));
        QStringList names;
        for (const char* name : {"DayList", "MonthList", "YearList", "Refresh", "HistoryFilter", "HourlyChart",
                                 "HistoryList", "OK"})
            names << dlg->findChild<QWidget*>(name)->accessibleName();
        for (const QLabel* label : dlg->findChildren<QLabel*>())
            names << label->text() + "=" + label->accessibleName();
        QCOMPARE(names, QStringList({"Day", "Month", "Year", "Refresh", "Filter lines", "Lines per hour",
                                     "History lines", "OK", "Day=Day",
                                     "Month=Month", "Year=Year"}));
        QVERIFY(dlg->findChild<QPushButton*>("OK")->isDefault());
        QVERIFY(box(*dlg, "YearList")->isEditable() && !box(*dlg, "DayList")->isEditable());
    }

    void dateBoxesForTodaysYear_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QStringList>("years");
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("month");
        QTest::addColumn<int>("days");
        QTest::newRow("99") << QDate(1999, 7, 4) << QStringList{"1998", "1999", "1900"} << "04"
                            << "July" << 31;
        QTest::newRow("00") << QDate(2000, 6, 30) << QStringList{"1999", "2000", "1901"} << "30"
                            << "Jun" << 30;
        QTest::newRow("26") << QDate(2026, 2, 9) << QStringList{"2025", "2026", "1927"} << "09"
                            << "Feb" << 29;
    }

    void dateBoxesForTodaysYear()
    {
        QFETCH(QDate, today);
        QFETCH(QStringList, years);
        QFETCH(QString, day);
        QFETCH(QString, month);
        QFETCH(int, days);
        auto dlg = open(today);
        QCOMPARE(texts(box(*dlg, "YearList")), years);
        QCOMPARE(box(*dlg, "YearList")->currentText(), years.at(1));
        QCOMPARE(box(*dlg, "DayList")->currentText(), day);
        QCOMPARE(box(*dlg, "DayList")->count(), days);
        QCOMPARE(box(*dlg, "DayList")->itemText(0), QStringLiteral("01"));
        QCOMPARE(box(*dlg, "MonthList")->currentText(), month);
        QCOMPARE(texts(box(*dlg, "MonthList")),
                 QString("Jan Feb Mar Apr May Jun July Aug Sep Oct Nov Dec").split(' '));
    }

    // The operator's steps, one word each: "day=N" and "month=NAME" pick from their lists,
    // "year=I" picks the I-th year, "type=TEXT" types a year, "refresh", "append=LINE" adds a line to
    // the log ("_" for a blank); "?" notes the lines listed and "boxes" the chosen date and the
    // number of days offered. The notes, "|" after each, are compared.
    void operatorChoosesADate_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        QTest::newRow("a line only for its own date")
            << QDate(1999, 12, 5) << QStringList{"A  12/05/1999"}
            << "? day=4 refresh ? day=6 refresh ? day=5 year=0 refresh ? year=2 refresh ? month=Nov boxes "
               "refresh ? "
               "month=May day=12 refresh ? month=Dec day=5 refresh ?"
            << "A  12/05/1999|-|-|-|-|05/Nov/1999(30)|-|-|A  12/05/1999|";
        QTest::newRow("31 then February leaves no day")
            << QDate(2026, 1, 31) << QStringList{"A  01/31/2026"} << "? year=2 month=Feb boxes ? refresh ?"
            << "A  01/31/2026|/Feb/2026(29)|A  01/31/2026|-|";
        QTest::newRow("15 then April keeps the day")
            << QDate(2026, 3, 15) << QStringList() << "month=Apr boxes"
            << "15/Apr/2026(30)|";
        QTest::newRow("the reading rules decide")
            << QDate(1999, 12, 5)
            << QStringList{"10:00  12/05/1999  j",   "10:00 am  12/05/1999",  "  12/05/1999  a",
                           "11:00  12/05/1999  j#s", "11:30  12/05/1999#  a", "#12:00  12/05/1999  a",
                           "13:00  12/05/1999"}
            << "?"
            << "10:00  12/05/1999  j;11:00  12/05/1999  j;13:00  12/05/1999|";
        QTest::newRow("a typed year is used")
            << QDate(2026, 3, 15) << QStringList{"A  03/15/2003", "B  03/15/2026"}
            << "type=2003 refresh ? type=20x3 refresh ? type=203 refresh ? type= refresh ? year=1 refresh ?"
            << "A  03/15/2003|-|-|-|B  03/15/2026|";
        QTest::newRow("the leap day") << QDate(2000, 2, 29) << QStringList{"A  02/29/2000", "B  02/29/2024"}
                                      << "boxes ? type=2024 refresh ?"
                                      << "29/Feb/2000(29)|A  02/29/2000|B  02/29/2024|";
        QTest::newRow("no log file") << QDate(2026, 3, 15) << QStringList()
                                     << "? month=Feb day=28 year=0 refresh ?"
                                     << "-|-|";
        QTest::newRow("sorted without regard to case")
            << QDate(2026, 3, 15)
            << QStringList{"10:00  03/15/2026  bob",   "09:59  03/15/2026", "10:00  03/15/2026  Carol",
                           "10:00  03/15/2026  alice", "09:59  03/15/2026", "10:00  03/15/2026  J\u00f6rg",
                           "08:00  03/16/2026"}
            << "?"
            << "09:59  03/15/2026;09:59  03/15/2026;10:00  03/15/2026  alice;10:00  03/15/2026  bob;10:00  "
               "03/15/2026  Carol;10:00  03/15/2026  J\u00f6rg|";
        QTest::newRow("lines appended while open")
            << QDate(2026, 3, 15) << QStringList{"A  03/15/2026"} << "append=B__03/15/2026 ? refresh ?"
            << "A  03/15/2026|A  03/15/2026;B  03/15/2026|";
    }

    void operatorChoosesADate()
    {
        QFETCH(QDate, today);
        QFETCH(QStringList, log);
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        if (!log.isEmpty())
            writeLog(log);
        auto dlg = open(today);
        QString noted;
        for (const QString& step : steps.split(' ')) {
            const QString value = step.section('=', 1);
            if (step == "?") {
                noted += listed(*dlg) + '|';
            } else if (step == "boxes") {
                noted += QStringLiteral("%1/%2/%3(%4)|")
                             .arg(box(*dlg, "DayList")->currentText(), box(*dlg, "MonthList")->currentText(),
                                  box(*dlg, "YearList")->currentText())
                             .arg(box(*dlg, "DayList")->count());
            } else if (step == "refresh") {
                refresh(*dlg);
            } else if (step.startsWith("day=")) {
                pick(box(*dlg, "DayList"), value.toInt() - 1);
            } else if (step.startsWith("month=")) {
                pick(box(*dlg, "MonthList"), box(*dlg, "MonthList")->findText(value));
            } else if (step.startsWith("year=")) {
                pick(box(*dlg, "YearList"), value.toInt());
            } else if (step.startsWith("type=")) {
                typeYear(*dlg, value);
            } else if (step.startsWith("append=")) {
                QCOMPARE(appendLogText(m_path, QString(value).replace('_', ' ').toLatin1() + "\r\n"), 0);
            }
        }
        QCOMPARE(noted, notes);
        QCOMPARE(box(*dlg, "YearList")->count(), 3); // typing a year adds no entry
        QVERIFY(m_boxes.messages.isEmpty());
    }

    void refreshCentresOnTheMainWindowWhenItFindsTheFile()
    {
        auto dlg = open(QDate(2026, 3, 15));
        checkCentred(*dlg);
        dlg->move(3, 4);
        QTRY_COMPARE(dlg->pos(), QPoint(3, 4));
        refresh(*dlg); // no file: the window stays where the operator put it
        QCoreApplication::processEvents();
        QCOMPARE(dlg->pos(), QPoint(3, 4));
        writeLog({"A  03/15/2026"});
        refresh(*dlg);
        checkCentred(*dlg);
    }

    void readFailureShowsErrorBoxAndKeepsLines()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QByteArray content;
        for (const char* time : {"08:00", "07:00", "09:00"})
            content += QByteArray(time) + "  03/15/2026\r\n" + time + "  03/16/2026\r\n";
        dlg->setLogOpener([content](const QByteArray&) { return std::make_unique<FailingSource>(content); });
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringLiteral("07:00  03/15/2026;08:00  03/15/2026;09:00  03/15/2026"));
        QCOMPARE(m_boxes.messages.size(), 1);
        QCOMPARE(m_boxes.owners[0], dlg.get());
        QCOMPARE(m_boxes.icons[0], MessageBoxes::Icon::Critical);
        QCOMPARE(m_boxes.messages[0],
                 QStringLiteral("An unexpected error occurred while reading %1: %2.")
                     .arg(QFile::decodeName(m_path), QString::fromLocal8Bit(std::strerror(EIO))));

        dlg->setLogOpener([](const QByteArray&) { return std::unique_ptr<LogSource>(); });
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringLiteral("-"));
        QCOMPARE(m_boxes.messages.size(), 1);
    }

    void enterEscapeAndCloseEndTheWindow()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QTest::keyClick(dlg.get(), Qt::Key_Escape);
        QTRY_VERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Rejected));

        dlg = open(QDate(2026, 3, 15));
        QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
        QTest::keyClick(box(*dlg, "DayList"), Qt::Key_Return);
        QTRY_VERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));

        // Enter in the Year box ends the window through OK and adds no entry.
        dlg = open(QDate(2026, 3, 15));
        typeYear(*dlg, QStringLiteral("2011"));
        QTest::keyClick(box(*dlg, "YearList")->lineEdit(), Qt::Key_Return);
        QTRY_VERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(texts(box(*dlg, "YearList")), QStringList({"2025", "2026", "1927"}));

        dlg = open(QDate(2026, 3, 15));
        QSignalSpy rejected(dlg.get(), &QDialog::rejected);
        dlg->close();
        QCOMPARE(rejected.size(), 1);
    }

    void hourOfATimeField_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<int>("hour");
        QTest::newRow("midnight") << "00:00:00" << 0;
        QTest::newRow("one digit, no seconds") << "9:15" << 9;
        QTest::newRow("leap second") << "12:00:60" << 12;
        QTest::newRow("hour 24") << "24:00:00" << -1;
        QTest::newRow("minute 60") << "12:60" << -1;
        QTest::newRow("short fields") << "1:2:3" << -1;
        QTest::newRow("trailing colon") << "12:00:" << -1;
    }

    void hourOfATimeField()
    {
        QFETCH(QString, time);
        QFETCH(int, hour);
        const QByteArray bytes = time.toLatin1();
        QCOMPARE(hourOfTime(std::string_view(bytes.constData(), std::size_t(bytes.size()))), hour);
    }

    void chartCountsTheListedLinesByHourAndKind()
    {
        writeBytes({line("08:10:00", "ann", "LoggedOn"), line("08:20:00", "bob", "LoggedOff"),
                  line("8:59", "bob", "TryingInvalidPasswords"),
                  line("08:30:00", "ann", "AccountMarkedForLockUp"),
                  line("17:00:00", "cy", "FirewallRebooted"), line("17:05:00", "cy", "NoSuchKeyword"),
                  line("23:59:59", "dee", "AccessingFilteredSites"), line("7:00 pm", "eve", "LoggedOn"),
                  line("25:00:00", "eve", "LoggedOn"), line("09:00:00", "fay#x", "LoggedOn"),
                  line("10:00:00", "gus", "LoggedOn", "03/16/2026")});
        auto dialog = open(QDate(2026, 3, 15));
        // "7:00 pm" puts "pm" where the date goes: not listed, not counted.
        QCOMPARE(rows(*dialog).size(), 9);
        const HourlyKindCounts& counts = dialog->findChild<HourlyChart*>("HourlyChart")->counts();
        HourlyKindCounts expected{};
        const auto at = [&](int hour, EventKind kind) -> quint32& {
            return expected[std::size_t(hour)][std::size_t(kind)];
        };
        at(8, EventKind::LogOnOff) = 2;
        at(8, EventKind::FailedAttempt) = 1;
        at(8, EventKind::LockedOrDisabled) = 1;
        at(17, EventKind::FirewallReboot) = 1;
        at(17, EventKind::Other) = 1;
        at(23, EventKind::FilteredSite) = 1;
        at(9, EventKind::Other) = 1; // "fay" is the last word before the "#"
        QCOMPARE(counts, expected);

        // The bars show the same numbers.
        auto* series = qobject_cast<QStackedBarSeries*>(
            dialog->findChild<HourlyChart*>("HourlyChart")->chart()->series().constFirst());
        QVERIFY(series);
        QCOMPARE(series->barSets().size(), EVENT_KIND_COUNT);
        QCOMPARE(series->barSets().at(int(EventKind::LogOnOff))->at(8), 2.0);
        QCOMPARE(series->barSets().at(int(EventKind::Other))->at(17), 1.0);
        QCOMPARE(series->barSets().at(int(EventKind::LogOnOff))->at(19), 0.0);

        // Another day, another chart.
        QTest::keyClick(dialog->findChild<QComboBox*>("DayList"), Qt::Key_Down);
        QTest::mouseClick(dialog->findChild<QPushButton*>("Refresh"), Qt::LeftButton);
        expected = {};
        at(10, EventKind::LogOnOff) = 1;
        QCOMPARE(dialog->findChild<HourlyChart*>("HourlyChart")->counts(), expected);
    }

    void filterCopyExportAndTheKeysOfTheFilterField()
    {
        writeBytes({line("08:00:00", "ann", "LoggedOn"), line("09:00:00", "bob", "LoggedOn"),
                  line("10:00:00", "Anna", "LoggedOff"), line("11:00:00", "J\xF6rg", "LoggedOn")});
        auto dialog = open(QDate(2026, 3, 15));
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTest::keyClick(dialog.get(), Qt::Key_F, Qt::ControlModifier);
        auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(field);
        QCOMPARE(field->accessibleName(), QStringLiteral("Filter lines"));
        QTest::keyClicks(field, "AN");
        QCOMPARE(rows(*dialog), QStringList({QString::fromLatin1(line("08:00:00", "ann", "LoggedOn")),
                                               QString::fromLatin1(line("10:00:00", "Anna", "LoggedOff"))}));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(dialog->isVisible());

        auto* list = dialog->findChild<QListView*>("HistoryList");
        list->selectAll();
        QApplication::clipboard()->clear();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), rows(*dialog).join('\n') + '\n');

        const QString path = m_dir.filePath("lines.txt");
        QString suggested;
        dialog->chooseExportPath = [&](QWidget*, const QString&, const QString& name, const QString&) {
            suggested = name;
            return path;
        };
        field->clear();
        const QPoint at(4, 4);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QStringList entries;
        for (QAction* action : menu->actions())
            entries << QString(action->text()).remove('&');
        QCOMPARE(entries, QStringList({"Copy", "Export..."}));
        menu->close();
        menu->actions().last()->trigger();
        QCOMPARE(suggested, QStringLiteral("sorvane-history-03-15-2026.txt"));
        QCOMPARE(readFile(path), line("08:00:00", "ann", "LoggedOn") + '\n' +
                                     line("09:00:00", "bob", "LoggedOn") + '\n' +
                                     line("10:00:00", "Anna", "LoggedOff") + '\n' +
                                     line("11:00:00", "J\xC3\xB6rg", "LoggedOn") + '\n');
        QVERIFY(m_boxes.messages.isEmpty());

        // Escape empties the field first, and ends the window only from an empty field.
        field->setFocus();
        QTest::keyClicks(field, "x");
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(dialog->isVisible());
        QCOMPARE(rows(*dialog).size(), 4);
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(TestHistoryDlg)
#include "tst_historydlg.moc"
