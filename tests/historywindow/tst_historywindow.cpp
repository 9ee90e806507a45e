// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Files.h"
#include "common/RecordingBoxes.h"
#include "historywindow/HistoryWindow.h"
#include "historywindow/HourlyChart.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QBarSet>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGraphicsTextItem>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace
{

QStringList texts(const QAbstractItemModel* model, int role = Qt::DisplayRole)
{
    QStringList out;
    for (int row = 0; row < model->rowCount(); ++row)
        out << model->index(row, 0).data(role).toString();
    return out;
}

// The operator opens the drop-down and picks an entry.
void pick(QComboBox* combo, int row)
{
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    QTRY_VERIFY(view->isVisible());
    view->setCurrentIndex(combo->model()->index(row, 0));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY(!view->isVisible());
}

} // namespace

class HistoryWindowTest : public QObject
{
    Q_OBJECT

private slots:
    // The log's lines, ";" apart (written at the start, or at "write"), and the steps, one word each: "day=N"
    // and "month=NAME" pick from their lists, "year=I" the I-th year, "type=TEXT" types a year, "refresh",
    // "move" the window, "enter" in the Year box, "filter=TEXT", "copy" all lines, "export", "csv", "dialog"
    // (exports by the file dialog), "rotate" as logrotate; "?" notes the lines listed, "boxes" the date and
    // the days offered, "years" the years offered, "where" the window's place ("mid" when centred on the
    // main window), "chart" the lines, the bars by hour and kind, and the axis. The notes, "|" after each.
    void operatorChoosesADate_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        const auto row = [](const char* name, QDate today, const char* log, const char* steps,
                            const char* notes) { QTest::newRow(name) << today << log << steps << notes; };
        const QDate ides(2026, 3, 15);
        // The Year box offers last year, this year and the year a century before last year.
        row("opened in 1999", QDate(1999, 7, 4), "", "years boxes ?", "1998,1999,1900|04/July/1999(31)|-|");
        row("a line only for its own date", QDate(1999, 12, 5), "A  12/05/1999",
            "? day=4 refresh ? day=6 refresh ? day=5 year=0 refresh ? year=2 refresh ? "
            "month=Nov boxes refresh ? month=May day=12 refresh ? month=Dec day=5 refresh ?",
            "A  12/05/1999|-|-|-|-|05/Nov/1999(30)|-|-|A  12/05/1999|");
        row("31 then February leaves no day", QDate(2026, 1, 31), "A  01/31/2026",
            "? year=2 month=Feb boxes ? refresh ?", "A  01/31/2026|/Feb/2026(29)|A  01/31/2026|-|");
        row("15 then April keeps the day", ides, "", "month=Apr boxes", "15/Apr/2026(30)|");
        row("a typed year is used", ides, "A  03/15/2003;B  03/15/2026",
            "type=2003 refresh ? type=20x3 refresh ? type=203 refresh ? type= refresh ? year=1 refresh ? "
            "years",
            "A  03/15/2003|-|-|-|B  03/15/2026|2025,2026,1927|");
        row("the leap day", QDate(2000, 2, 29), "A  02/29/2000;B  02/29/2024", "boxes ? type=2024 refresh ?",
            "29/Feb/2000(29)|A  02/29/2000|B  02/29/2024|");
        row("sorted without regard to case", ides,
            "10:00  03/15/2026  bob;09:59  03/15/2026;10:00  03/15/2026  Carol;10:00  03/15/2026  alice;"
            "09:59  03/15/2026;10:00  03/15/2026  J\u00f6rg;08:00  03/16/2026",
            "?",
            "09:59  03/15/2026;09:59  03/15/2026;10:00  03/15/2026  alice;10:00  03/15/2026  bob;"
            "10:00  03/15/2026  Carol;10:00  03/15/2026  J\u00f6rg|");
        // A Refresh that finds the file centres the window again; Enter in the Year box ends it through OK.
        row("centred when the file is found", ides, "A  03/15/2026",
            "where move refresh where write refresh where ? rotate rotate write refresh ? type=2011 enter",
            "mid|3,4|mid|A  03/15/2026|A  03/15/2026;A  03/15/2026|1|");
        // "7:00 pm" puts "pm" where the date goes; midnight and a leap second count, hour 24, minute 60
        // and short or empty fields do not; "fay" is the last word before the "#" at 9:00.
        row("chart by hour and kind", ides,
            "08:10:00  03/15/2026  LoggedOn;08:20:00  03/15/2026  LoggedOff;8:59  03/15/2026  "
            "TryingInvalidPasswords;08:30:00  03/15/2026  AccountMarkedForLockUp;17:00:00  03/15/2026  "
            "FirewallRebooted;17:05:00  03/15/2026  NoSuchKeyword;23:59:59  03/15/2026  "
            "AccessingFilteredSites;7:00 pm  03/15/2026  LoggedOn;24:00:00  03/15/2026  LoggedOn;"
            "09:00:00  03/15/2026  fay#x  LoggedOn;00:00:00  03/15/2026  LoggedOn;12:00:60  03/15/2026  "
            "LoggedOn;24:00:00  03/15/2026  LoggedOn;12:60  03/15/2026  LoggedOn;1:2:3  03/15/2026  "
            "LoggedOn;12:00:  03/15/2026  LoggedOn;10:00:00  03/16/2026  LoggedOn",
            "chart day=16 refresh chart day=17 refresh chart",
            "15:0 Log-ons 1,8 Log-ons 2,12 Log-ons 1,8 Failed 1,8 Locked 1,23 Filtered 1,17 Firewall 1,"
            "9 Other 1,17 Other 1,0 1 2 3 4 |1:10 Log-ons 1,0 1 |0:0 |");
        // Export writes the lines listed, in UTF-8; the file dialog opens where the last file went.
        row("filter, copy and export", ides,
            "08:00  03/15/2026  ann;09:00  03/15/2026  bob;10:00  03/15/2026  Anna;11:00  03/15/2026  "
            "J\u00f6rg;=9  03/15/2026  eve,anne",
            "filter=AN copy csv filter=J export dialog dialog",
            "08:00  03/15/2026  ann;10:00  03/15/2026  Anna;=9  03/15/2026  eve,anne;|sorvane-history-"
            "2026-03-15.csv:Log line\r;08:00  03/15/2026  ann\r;10:00  03/15/2026  Anna\r;\"'=9  03/15/2026  "
            "eve,"
            "anne\"\r;|sorvane-history-2026-03-15.txt:11:00  03/15/2026  J\u00f6rg;|away|here|");
    }

    void operatorChoosesADate()
    {
        QFETCH(QDate, today);
        QFETCH(QString, log);
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        QTemporaryDir dir;
        const QString path = dir.filePath("userfile");
        RecordingBoxes boxes;
        const auto write = [&] { writeFileBytes(path, (log.replace(';', "\r\n") + "\r\n").toLatin1()); };
        if (!log.isEmpty() && !steps.contains("write"))
            write();
        QWidget owner;
        owner.setGeometry(40, 40, 700, 520);
        HistoryWindow dlg(&owner, QFile::encodeName(path), boxes, [today] { return today; });
        dlg.show();
        QCOMPARE(dlg.windowTitle(), "History");
        QString noted;
        dlg.chooseExportPath = [&](QWidget*, const QString&, const QString& name, const QString&) {
            noted += name + ':';
            return dir.filePath("lines.txt");
        };
        auto* list = dlg.findChild<QListView*>("HistoryList");
        for (const QString& step : steps.split(' ')) {
            const QString word = step.section('=', 0, 0), value = step.section('=', 1);
            auto *day = dlg.findChild<QComboBox*>("DayList"), *month = dlg.findChild<QComboBox*>("MonthList"),
                 *year = dlg.findChild<QComboBox*>("YearList");
            if (step == "?")
                noted += texts(list->model()).isEmpty()
                             ? "-|"
                             : texts(list->model(), Qt::AccessibleTextRole).join(';') + '|';
            else if (step == "boxes")
                noted += QStringLiteral("%1/%2/%3(%4)|")
                             .arg(day->currentText(), month->currentText(), year->currentText())
                             .arg(day->count());
            else if (step == "years")
                noted += texts(year->model()).join(',') + '|';
            else if (step == "where")
                noted += (dlg.geometry().center() - owner.geometry().center()).manhattanLength() <= 1
                             ? QStringLiteral("mid|")
                             : QStringLiteral("%1,%2|").arg(dlg.x()).arg(dlg.y());
            else if (step == "chart") {
                const auto* chart = dlg.findChild<HourlyChart*>("HourlyChart");
                noted += QString::number(list->model()->rowCount()) + ':';
                const auto bars =
                    qobject_cast<QStackedBarSeries*>(chart->chart()->series().constFirst())->barSets();
                for (const QBarSet* bar : bars)
                    for (int hour = 0; hour < 24; ++hour)
                        if (bar->at(hour) > 0)
                            noted += QStringLiteral("%1 %2 %3,")
                                         .arg(QString::number(hour), bar->label().section(' ', 0, 0),
                                              QString::number(bar->at(hour)));
                QApplication::processEvents(); // the axis labels, bottom up
                for (const QGraphicsItem* item : chart->scene()->items(Qt::AscendingOrder))
                    if (auto* text = dynamic_cast<const QGraphicsTextItem*>(item);
                        text && !text->toPlainText().isEmpty() &&
                        text->sceneBoundingRect().right() < chart->chart()->plotArea().left())
                        noted += text->toPlainText() + ' ';
                noted += '|';
            } else if (step == "refresh")
                QTest::mouseClick(dlg.findChild<QPushButton*>("Refresh"), Qt::LeftButton);
            else if (step == "move")
                dlg.move(3, 4);
            else if (step == "write")
                write();
            else if (step == "enter") {
                QTest::keyClick(year->lineEdit(), Qt::Key_Return);
                noted += QString::number(dlg.isVisible() ? -1 : dlg.result()) + '|';
            } else if (word == "filter")
                dlg.findChild<QLineEdit*>("HistoryFilter")->setText(value);
            else if (step == "copy") {
                list->selectAll();
                QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
                noted += QApplication::clipboard()->text().replace('\n', ';') + '|';
            } else if (step == "export" || step == "csv") {
                list->findChild<QMenu*>()->actions()[step == "csv" ? 2 : 1]->trigger();
                noted += QString::fromUtf8(fileBytes(dir.filePath("lines.txt"))).replace('\n', ';') + '|';
            } else if (step == "dialog") {
                dlg.chooseExportPath = standardSavePathChooser();
                QTimer::singleShot(0, [&] {
                    auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                    noted += files->directory() == QDir(dir.path()) ? "here|" : "away|";
                    files->selectFile(dir.filePath(QString::number(noted.size())));
                    QTest::keyClick(files, Qt::Key_Return);
                });
                list->findChild<QMenu*>()->actions()[1]->trigger();
            } else if (step == "rotate")
                QProcess::execute("sh", {"-c", "exec 2>&-; mv $0.1 $0.2 && gzip $0.2; mv $0 $0.1", path});
            else if (word == "day")
                pick(day, value.toInt() - 1);
            else if (word == "month")
                pick(month, month->findText(value));
            else if (word == "year")
                pick(year, value.toInt());
            else if (word == "type") {
                year->lineEdit()->clear();
                QTest::keyClicks(year->lineEdit(), value);
            } else
                QFAIL(qPrintable("unknown step: " + step));
        }
        QCOMPARE(noted, notes);
        QCOMPARE(dlg.findChild<QComboBox*>("YearList")->count(), 3); // typing a year adds no entry
        QVERIFY(boxes.messages.isEmpty());
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
