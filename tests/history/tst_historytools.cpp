// SPDX-License-Identifier: GPL-3.0-or-later
#include "history/HourlyChart.h"
#include "history/history.h"
#include "log/LogReader.h"
#include "widgets/DialogUnits.h"
#include "widgets/MessageBoxes.h"

#include <QApplication>
#include <QBarSet>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTemporaryDir>
#include <QTest>

namespace
{

class RecordingBoxes : public MessageBoxes
{
public:
    void show(QWidget*, const QString& text, const QString&, Icon) override { messages << text; }
    QStringList messages;
};

QByteArray line(const char* time, const char* user, const char* keyword, const char* date = "03/15/2026")
{
    return QByteArray(time) + "  " + date + "  192.168.1.10  " + user + "  " + keyword;
}

} // namespace

// The History window's chart, filter, copy and export.
class HistoryToolsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    RecordingBoxes m_boxes;

    QByteArray logPath() const { return QFile::encodeName(m_dir.filePath("userfile")); }

    void writeLog(const QList<QByteArray>& lines)
    {
        QFile file(QFile::decodeName(logPath()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const QByteArray& l : lines)
            file.write(l + "\r\n");
    }

    std::unique_ptr<CHistoryDlg> open()
    {
        auto dialog =
            std::make_unique<CHistoryDlg>(nullptr, logPath(), m_boxes, [] { return QDate(2026, 3, 15); });
        dialog->show();
        return dialog;
    }

    static QStringList listed(CHistoryDlg& dialog)
    {
        const QAbstractItemModel* model = dialog.findChild<QListView*>("HistoryList")->model();
        QStringList out;
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->index(row, 0).data().toString();
        return out;
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void init() { m_boxes.messages.clear(); }

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
        writeLog({line("08:10:00", "ann", "LoggedOn"), line("08:20:00", "bob", "LoggedOff"),
                  line("8:59", "bob", "TryingInvalidPasswords"),
                  line("08:30:00", "ann", "AccountMarkedForLockUp"),
                  line("17:00:00", "cy", "FirewallRebooted"), line("17:05:00", "cy", "NoSuchKeyword"),
                  line("23:59:59", "dee", "AccessingFilteredSites"), line("7:00 pm", "eve", "LoggedOn"),
                  line("25:00:00", "eve", "LoggedOn"), line("09:00:00", "fay#x", "LoggedOn"),
                  line("10:00:00", "gus", "LoggedOn", "03/16/2026")});
        auto dialog = open();
        // "7:00 pm" puts "pm" where the date goes: not listed, not counted.
        QCOMPARE(listed(*dialog).size(), 9);
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
        writeLog({line("08:00:00", "ann", "LoggedOn"), line("09:00:00", "bob", "LoggedOn"),
                  line("10:00:00", "Anna", "LoggedOff"), line("11:00:00", "J\xF6rg", "LoggedOn")});
        auto dialog = open();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTest::keyClick(dialog.get(), Qt::Key_F, Qt::ControlModifier);
        auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(field);
        QCOMPARE(field->accessibleName(), QStringLiteral("Filter lines"));
        QTest::keyClicks(field, "AN");
        QCOMPARE(listed(*dialog), QStringList({QString::fromLatin1(line("08:00:00", "ann", "LoggedOn")),
                                               QString::fromLatin1(line("10:00:00", "Anna", "LoggedOff"))}));
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(dialog->isVisible());

        auto* list = dialog->findChild<QListView*>("HistoryList");
        list->selectAll();
        QApplication::clipboard()->clear();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), listed(*dialog).join('\n') + '\n');

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
        QCOMPARE(listed(*dialog).size(), 4);
        QTest::keyClick(field, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }

    void theListTakesTheExtraRoom()
    {
        auto dialog = open();
        const DialogUnits du(dialog->font());
        auto* list = dialog->findChild<QListView*>("HistoryList");
        auto* chart = dialog->findChild<HourlyChart*>("HourlyChart");
        const QRect listBefore = list->geometry();
        const QRect chartBefore = chart->geometry();
        dialog->resize(dialog->width() + 100, dialog->height() + 80);
        QCOMPARE(list->geometry(), listBefore.adjusted(0, 0, 100, 80));
        QCOMPARE(chart->geometry(), chartBefore.adjusted(0, 0, 100, 0));
        QCOMPARE(dialog->findChild<QPushButton*>("OK")->geometry(),
                 du.rect(134, 277, 50, 14).translated(50, 80));
        dialog->resize(1, 1);
        QCOMPARE(dialog->size(), QSize(du.x(326), du.y(304)));
    }
};

QTEST_MAIN(HistoryToolsTest)
#include "tst_historytools.moc"
