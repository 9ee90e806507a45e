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
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

namespace
{

QString line(const QByteArray& time, const QByteArray& user, const char* keyword,
             const char* date = "03/15/2026")
{
    return QString::fromLatin1(time + "  " + date + "  192.168.1.10  " + user + "  " + keyword);
}

QStringList texts(const QAbstractItemModel* model)
{
    QStringList out;
    for (int row = 0; row < model->rowCount(); ++row)
        out << model->index(row, 0).data().toString();
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

    void writeLog(const QStringList& lines)
    {
        QVERIFY(writeFileBytes(QFile::decodeName(m_path), (lines.join("\r\n") + "\r\n").toLatin1()));
    }

    std::unique_ptr<HistoryWindow> open(QDate today = QDate(2026, 3, 15))
    {
        auto dlg = std::make_unique<HistoryWindow>(m_owner.get(), m_path, m_boxes, [today] { return today; });
        dlg->show();
        return dlg;
    }

    static QComboBox* box(HistoryWindow& dlg, const char* name) { return dlg.findChild<QComboBox*>(name); }

    static QStringList rows(HistoryWindow& dlg)
    {
        return texts(dlg.findChild<QListView*>("HistoryList")->model());
    }
    static QString listed(HistoryWindow& dlg) { return rows(dlg).isEmpty() ? "-" : rows(dlg).join(';'); }

    static void refresh(HistoryWindow& dlg)
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

    static void typeYear(HistoryWindow& dlg, const QString& text)
    {
        QLineEdit* edit = box(dlg, "YearList")->lineEdit();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }

    void checkCentred(const HistoryWindow& dlg)
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

    // The log's lines, ";" apart, and the operator's steps, one word each: "day=N" and "month=NAME" pick
    // from their lists, "year=I" picks the I-th year, "type=TEXT" types a year, "refresh"; "?" notes the
    // lines listed, "boxes" the chosen date and the number of days offered, "years" the years offered.
    // The notes, "|" after each, are compared.
    void operatorChoosesADate_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("notes");
        const auto row = [](const char* name, QDate today, const char* log, const char* steps,
                            const char* notes) { QTest::newRow(name) << today << log << steps << notes; };
        // The Year box offers last year, this year and the year a century before last year.
        row("opened in 1999", QDate(1999, 7, 4), "", "years boxes ?", "1998,1999,1900|04/July/1999(31)|-|");
        row("a line only for its own date", QDate(1999, 12, 5), "A  12/05/1999",
            "? day=4 refresh ? day=6 refresh ? day=5 year=0 refresh ? year=2 refresh ? "
            "month=Nov boxes refresh ? month=May day=12 refresh ? month=Dec day=5 refresh ?",
            "A  12/05/1999|-|-|-|-|05/Nov/1999(30)|-|-|A  12/05/1999|");
        row("31 then February leaves no day", QDate(2026, 1, 31), "A  01/31/2026",
            "? year=2 month=Feb boxes ? refresh ?", "A  01/31/2026|/Feb/2026(29)|A  01/31/2026|-|");
        row("15 then April keeps the day", QDate(2026, 3, 15), "", "month=Apr boxes", "15/Apr/2026(30)|");
        row("a typed year is used", QDate(2026, 3, 15), "A  03/15/2003;B  03/15/2026",
            "type=2003 refresh ? type=20x3 refresh ? type=203 refresh ? type= refresh ? year=1 refresh ? "
            "years",
            "A  03/15/2003|-|-|-|B  03/15/2026|2025,2026,1927|");
        row("the leap day", QDate(2000, 2, 29), "A  02/29/2000;B  02/29/2024", "boxes ? type=2024 refresh ?",
            "29/Feb/2000(29)|A  02/29/2000|B  02/29/2024|");
        row("sorted without regard to case", QDate(2026, 3, 15),
            "10:00  03/15/2026  bob;09:59  03/15/2026;10:00  03/15/2026  Carol;10:00  03/15/2026  alice;"
            "09:59  03/15/2026;10:00  03/15/2026  J\u00f6rg;08:00  03/16/2026",
            "?",
            "09:59  03/15/2026;09:59  03/15/2026;10:00  03/15/2026  alice;10:00  03/15/2026  bob;"
            "10:00  03/15/2026  Carol;10:00  03/15/2026  J\u00f6rg|");
    }

    void operatorChoosesADate()
    {
        QFETCH(QDate, today);
        QFETCH(QString, log);
        QFETCH(QString, steps);
        QFETCH(QString, notes);
        if (!log.isEmpty())
            writeLog(log.split(';'));
        auto dlg = open(today);
        QString noted;
        for (const QString& step : steps.split(' ')) {
            const QString word = step.section('=', 0, 0), value = step.section('=', 1);
            QComboBox *day = box(*dlg, "DayList"), *month = box(*dlg, "MonthList"),
                      *year = box(*dlg, "YearList");
            if (step == "?")
                noted += listed(*dlg) + '|';
            else if (step == "boxes")
                noted += QStringLiteral("%1/%2/%3(%4)|")
                             .arg(day->currentText(), month->currentText(), year->currentText())
                             .arg(day->count());
            else if (step == "years")
                noted += texts(year->model()).join(',') + '|';
            else if (step == "refresh")
                refresh(*dlg);
            else if (word == "day")
                pick(day, value.toInt() - 1);
            else if (word == "month")
                pick(month, month->findText(value));
            else if (word == "year")
                pick(year, value.toInt());
            else if (word == "type")
                typeYear(*dlg, value);
            else
                QFAIL(qPrintable("unknown step: " + step));
        }
        QCOMPARE(noted, notes);
        QCOMPARE(box(*dlg, "YearList")->count(), 3); // typing a year adds no entry
        QVERIFY(m_boxes.messages.isEmpty());
    }

    void refreshCentresOnTheMainWindowWhenItFindsTheFileAndEnterEndsThroughOk()
    {
        auto dlg = open();
        checkCentred(*dlg);
        dlg->move(3, 4);
        QTRY_COMPARE(dlg->pos(), QPoint(3, 4));
        refresh(*dlg); // no file: the window stays where the operator put it
        QCoreApplication::processEvents();
        QCOMPARE(dlg->pos(), QPoint(3, 4));
        writeLog({"A  03/15/2026"}); // written while the window is open
        refresh(*dlg);
        checkCentred(*dlg);
        QCOMPARE(listed(*dlg), QStringLiteral("A  03/15/2026"));
        // The Year box takes typing, and Enter there ends the window through OK all the same.
        QTest::mouseClick(box(*dlg, "YearList")->lineEdit(), Qt::LeftButton);
        typeYear(*dlg, QStringLiteral("2011"));
        QTest::keyClick(box(*dlg, "YearList")->lineEdit(), Qt::Key_Return);
        QTRY_VERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(box(*dlg, "YearList")->count(), 3);
    }

    void chartCountsTheListedLinesByHourAndKind()
    {
        QStringList lines;
        for (const QString& l :
             QString("08:10:00,ann,LoggedOn;08:20:00,bob,LoggedOff;8:59,bob,TryingInvalidPasswords;"
                     "08:30:00,ann,AccountMarkedForLockUp;17:00:00,cy,FirewallRebooted;"
                     "17:05:00,cy,NoSuchKeyword;23:59:59,dee,AccessingFilteredSites;"
                     "7:00 pm,eve,LoggedOn;25:00:00,eve,LoggedOn;09:00:00,fay#x,LoggedOn;"
                     "00:00:00,hal,LoggedOn;12:00:60,hal,LoggedOn;24:00:00,hal,LoggedOn;"
                     "12:60,hal,LoggedOn;1:2:3,hal,LoggedOn;12:00:,hal,LoggedOn")
                 .split(';'))
            lines << line(l.section(',', 0, 0).toLatin1(), l.section(',', 1, 1).toLatin1(),
                          l.section(',', 2).toLatin1().constData());
        writeLog(lines << line("10:00:00", "gus", "LoggedOn", "03/16/2026"));
        auto dialog = open();
        // "7:00 pm" puts "pm" where the date goes: not listed, not counted.
        QCOMPARE(rows(*dialog).size(), 15);
        const auto* chart = dialog->findChild<HourlyChart*>("HourlyChart");
        HourlyKindCounts expected{};
        using K = EventKind;
        // Midnight and a leap second count; hour 24, minute 60 and short or empty fields do not.
        using P = std::pair<int, K>; // "fay" is the last word before the "#" at 9:00
        for (const auto& [hour, kind] :
             {P(8, K::LogOnOff), P(8, K::LogOnOff), P(8, K::FailedAttempt), P(8, K::LockedOrDisabled),
              P(17, K::FirewallReboot), P(17, K::Other), P(23, K::FilteredSite), P(9, K::Other),
              P(0, K::LogOnOff), P(12, K::LogOnOff)})
            ++expected[std::size_t(hour)][std::size_t(kind)];
        QCOMPARE(chart->counts(), expected);
        // The bars show the same numbers.
        const auto bars = qobject_cast<QStackedBarSeries*>(chart->chart()->series().constFirst())->barSets();
        QCOMPARE(bars.at(int(K::LogOnOff))->at(8) + bars.at(int(K::Other))->at(17), 3.0);

        // Another day, another chart.
        QTest::keyClick(box(*dialog, "DayList"), Qt::Key_Down);
        refresh(*dialog);
        expected = {};
        expected[10][std::size_t(K::LogOnOff)] = 1;
        QCOMPARE(chart->counts(), expected);
    }

    void filterCopyAndExport()
    {
        const QStringList lines{line("08:00:00", "ann", "LoggedOn"), line("09:00:00", "bob", "LoggedOn"),
                                line("10:00:00", "Anna", "LoggedOff"),
                                line("11:00:00", "J\xF6rg", "LoggedOn")};
        writeLog(lines);
        auto dialog = open();
        auto* field = dialog->findChild<QLineEdit*>("HistoryFilter");
        QTest::keyClicks(field, "AN");
        QCOMPARE(rows(*dialog), QStringList({lines[0], lines[2]}));

        auto* list = dialog->findChild<QListView*>("HistoryList");
        list->selectAll();
        QApplication::clipboard()->clear();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), lines[0] + '\n' + lines[2] + '\n');

        // Export writes the lines listed, in UTF-8.
        const QString path = m_dir.filePath("lines.txt");
        QString suggested;
        dialog->chooseExportPath = [&](QWidget*, const QString&, const QString& name, const QString&) {
            suggested = name;
            return path;
        };
        field->clear();
        list->findChild<QMenu*>()->actions().last()->trigger();
        QCOMPARE(suggested, QStringLiteral("sorvane-history-03-15-2026.txt"));
        QCOMPARE(fileBytes(path), (lines.join('\n') + '\n').toUtf8());
        QVERIFY(m_boxes.messages.isEmpty());
    }
};

QTEST_MAIN(TestHistoryDlg)
#include "tst_historywindow.moc"
