#include "history/history.h"
#include "log/LogReader.h"
#include "log/UserLog.h"
#include "widgets/DialogUnits.h"
#include "widgets/HelpWindow.h"
#include "widgets/MessageBoxes.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <cerrno>
#include <cstring>
#include <memory>

namespace
{

class RecordingBoxes : public MessageBoxes
{
public:
    struct Box {
        QWidget* owner;
        QString text;
        QString caption;
        Icon icon;
    };
    QList<Box> shown;
    void show(QWidget* owner, const QString& text, const QString& caption, Icon icon) override
    {
        shown.append({owner, text, caption, icon});
    }
};

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

QByteArray logLine(const char* time, const char* date, const char* user = "jsmith",
                   const char* keyword = "LoggedOn")
{
    return QByteArray(time) + "  " + date + "  192.168.1.10  " + user + "  " + keyword;
}

QStringList strings(std::initializer_list<const char*> items)
{
    QStringList out;
    for (const char* item : items)
        out << QLatin1String(item);
    return out;
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

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    std::unique_ptr<QWidget> m_owner;
    RecordingBoxes m_boxes;

    void writeLog(const QList<QByteArray>& lines)
    {
        QFile file(QString::fromLocal8Bit(m_path));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const QByteArray& line : lines)
            file.write(line + "\r\n");
    }

    std::unique_ptr<CHistoryDlg> open(QDate today)
    {
        auto dlg = std::make_unique<CHistoryDlg>(m_owner.get(), m_path, m_boxes, [today] { return today; });
        dlg->show();
        return dlg;
    }

    static QComboBox* box(CHistoryDlg& dlg, const char* name)
    {
        return dlg.findChild<QComboBox*>(QLatin1String(name));
    }

    static QStringList listed(CHistoryDlg& dlg)
    {
        const QAbstractItemModel* model = dlg.findChild<QListView*>(QStringLiteral("HistoryList"))->model();
        QStringList out;
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->index(row, 0).data().toString();
        return out;
    }

    static void refresh(CHistoryDlg& dlg)
    {
        QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("Refresh")), Qt::LeftButton);
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
        QCOMPARE(combo->currentIndex(), row);
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
        QTRY_VERIFY2((dlg.geometry().center() - want).manhattanLength() <= 1,
                     qPrintable(QStringLiteral("window at %1,%2").arg(dlg.x()).arg(dlg.y())));
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_path = QFile::encodeName(m_dir.filePath(QStringLiteral("userfile")));
        QFile::remove(QString::fromLocal8Bit(m_path));
        m_boxes.shown.clear();
        m_owner = std::make_unique<QWidget>();
        m_owner->setGeometry(40, 40, 700, 520);
        m_owner->show();
    }

    void cleanup() { m_owner.reset(); }

    void windowFollowsTemplate()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QCOMPARE(dlg->windowTitle(), QStringLiteral("History"));
        const DialogUnits du(dlg->font());
        QCOMPARE(dlg->size(), QSize(du.x(326), du.y(304)));
        QCOMPARE(dlg->minimumSize(), dlg->size());

        const struct {
            const char* name;
            const char* accessible;
            QRect rect;
        } controls[] = {{"Refresh", "Refresh", du.rect(256, 16, 50, 14)},
                        {"OK", "OK", du.rect(134, 277, 50, 14)},
                        {"HistoryFilter", "Filter lines", du.rect(20, 36, 285, 14)},
                        {"HourlyChart", "Lines per hour", du.rect(20, 54, 285, 100)},
                        {"HistoryList", "History lines", du.rect(20, 158, 285, 112)},
                        {"DayList", "Day", du.rect(34, 16, 48, 0)},
                        {"MonthList", "Month", du.rect(111, 16, 48, 0)},
                        {"YearList", "Year", du.rect(186, 16, 48, 0)}};
        for (const auto& c : controls) {
            QWidget* w = dlg->findChild<QWidget*>(QLatin1String(c.name));
            QVERIFY2(w, c.name);
            QCOMPARE(w->accessibleName(), QLatin1String(c.accessible));
            QCOMPARE(w->pos(), c.rect.topLeft());
            QCOMPARE(w->width(), c.rect.width());
            if (auto* combo = qobject_cast<QComboBox*>(w))
                QCOMPARE(combo->height(), combo->sizeHint().height());
            else
                QCOMPARE(w->height(), c.rect.height());
        }
        QStringList labels;
        for (const QLabel* label : dlg->findChildren<QLabel*>()) {
            labels << label->text();
            QCOMPARE(label->accessibleName(), label->text());
        }
        labels.sort();
        QCOMPARE(labels, strings({"Day", "Month", "Year"}));
        QVERIFY(dlg->findChild<QPushButton*>(QStringLiteral("OK"))->isDefault());
        QVERIFY(box(*dlg, "YearList")->isEditable());
        QVERIFY(!box(*dlg, "DayList")->isEditable());
        QVERIFY(!box(*dlg, "MonthList")->isEditable());
    }

    void dateBoxesForTodaysYear_data()
    {
        QTest::addColumn<QDate>("today");
        QTest::addColumn<QStringList>("years");
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("month");
        QTest::addColumn<int>("days");
        QTest::newRow("99") << QDate(1999, 7, 4) << strings({"1998", "1999", "1900"}) << QStringLiteral("04")
                            << QStringLiteral("July") << 31;
        QTest::newRow("00") << QDate(2000, 6, 30) << strings({"1999", "2000", "1901"}) << QStringLiteral("30")
                            << QStringLiteral("Jun") << 30;
        QTest::newRow("26") << QDate(2026, 2, 9) << strings({"2025", "2026", "1927"}) << QStringLiteral("09")
                            << QStringLiteral("Feb") << 29;
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
        QCOMPARE(box(*dlg, "YearList")->currentIndex(), 1);
        QCOMPARE(box(*dlg, "YearList")->currentText(), years.at(1));
        QCOMPARE(box(*dlg, "DayList")->currentText(), day);
        QCOMPARE(box(*dlg, "DayList")->count(), days);
        QCOMPARE(box(*dlg, "DayList")->itemText(0), QStringLiteral("01"));
        QCOMPARE(box(*dlg, "MonthList")->currentText(), month);
        QCOMPARE(texts(box(*dlg, "MonthList")), strings({"Jan", "Feb", "Mar", "Apr", "May", "Jun", "July",
                                                         "Aug", "Sep", "Oct", "Nov", "Dec"}));
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void opensWithTodaysLines()
    {
        writeLog({logLine("09:00:00", "03/15/2026"), logLine("09:00:01", "03/14/2026"),
                  logLine("09:00:02", "03/15/2025"), logLine("09:00:03", "03/15/2026", "ann", "LoggedOff")});
        auto dlg = open(QDate(2026, 3, 15));
        QCOMPARE(listed(*dlg),
                 QStringList({QString::fromLatin1(logLine("09:00:00", "03/15/2026")),
                              QString::fromLatin1(logLine("09:00:03", "03/15/2026", "ann", "LoggedOff"))}));
    }

    void lineListedOnlyForItsOwnDate()
    {
        const QString line = QString::fromLatin1(logLine("10:42:07", "12/05/1999"));
        writeLog({logLine("10:42:07", "12/05/1999")});
        auto dlg = open(QDate(1999, 12, 5));
        QComboBox* day = box(*dlg, "DayList");
        QComboBox* month = box(*dlg, "MonthList");
        QComboBox* year = box(*dlg, "YearList");
        QCOMPARE(listed(*dlg), QStringList{line});

        pick(day, 3); // 04
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(day, 5); // 06
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(day, 4);
        pick(year, 0); // 1998
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(year, 2); // 1900
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(month, 10); // Nov
        QCOMPARE(day->currentText(), QStringLiteral("05"));
        QCOMPARE(year->currentText(), QStringLiteral("1999"));
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(month, 4); // May, day 12: the date read the other way round
        pick(day, 11);
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        pick(month, 11); // Dec
        pick(day, 4);
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList{line});
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void day31ThenFebruaryLeavesNoDay()
    {
        writeLog({logLine("08:00:00", "01/31/2026")});
        auto dlg = open(QDate(2026, 1, 31));
        QComboBox* day = box(*dlg, "DayList");
        QComboBox* year = box(*dlg, "YearList");
        QCOMPARE(day->currentText(), QStringLiteral("31"));
        const QStringList before = listed(*dlg);
        QCOMPARE(before.size(), 1);
        pick(year, 2); // 1927
        pick(box(*dlg, "MonthList"), 1);
        QCOMPARE(day->count(), 29);
        QCOMPARE(day->currentIndex(), -1);
        QCOMPARE(year->currentIndex(), 1);
        QCOMPARE(year->currentText(), QStringLiteral("2026"));
        QCOMPARE(listed(*dlg), before);

        refresh(*dlg); // no day chosen: nothing to list, nothing to say
        QVERIFY(listed(*dlg).isEmpty());
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void day15ThenAprilKeepsTheDay()
    {
        auto dlg = open(QDate(2026, 3, 15));
        pick(box(*dlg, "MonthList"), 3);
        QCOMPARE(box(*dlg, "DayList")->count(), 30);
        QCOMPARE(box(*dlg, "DayList")->currentText(), QStringLiteral("15"));
        QCOMPARE(box(*dlg, "MonthList")->currentText(), QStringLiteral("Apr"));
    }

    void readingRulesDecideWhatIsListed()
    {
        writeLog(
            {logLine("10:00:00", "12/05/1999"), "10:00 am  12/05/1999  192.168.1.10  jsmith  LoggedOn",
             "  12/05/1999  192.168.1.10  jsmith  LoggedOn", logLine("11:00:00", "12/05/1999", "j#smith"),
             "11:30:00  12/05/1999#  192.168.1.10  jsmith  LoggedOn",
             "#12:00:00  12/05/1999  192.168.1.10  jsmith  LoggedOn", logLine("13:00:00", "12/05/1999")});
        auto dlg = open(QDate(1999, 12, 5));
        QCOMPARE(listed(*dlg), QStringList({QString::fromLatin1(logLine("10:00:00", "12/05/1999")),
                                            QStringLiteral("11:00:00  12/05/1999  192.168.1.10  j"),
                                            QString::fromLatin1(logLine("13:00:00", "12/05/1999"))}));
    }

    void linesAppendedWhileOpenShowAfterRefresh()
    {
        writeLog({logLine("08:00:00", "03/15/2026")});
        auto dlg = open(QDate(2026, 3, 15));
        QCOMPARE(listed(*dlg).size(), 1);
        QCOMPARE(appendLogText(m_path, logLine("08:30:00", "03/15/2026") + "\r\n"), 0);
        QCoreApplication::processEvents();
        QCOMPARE(listed(*dlg).size(), 1);
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList({QString::fromLatin1(logLine("08:00:00", "03/15/2026")),
                                            QString::fromLatin1(logLine("08:30:00", "03/15/2026"))}));
    }

    void noLogFileListsNothingQuietly()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QVERIFY(listed(*dlg).isEmpty());
        pick(box(*dlg, "MonthList"), 1);
        QCOMPARE(box(*dlg, "DayList")->count(), 29);
        pick(box(*dlg, "DayList"), 27);
        pick(box(*dlg, "YearList"), 0);
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        QVERIFY(m_boxes.shown.isEmpty());
    }

    void typedYearIsUsed()
    {
        writeLog({logLine("07:00:00", "03/15/2003"), logLine("07:00:00", "03/15/2026")});
        auto dlg = open(QDate(2026, 3, 15));
        QComboBox* year = box(*dlg, "YearList");
        typeYear(*dlg, QStringLiteral("2003"));
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList{QString::fromLatin1(logLine("07:00:00", "03/15/2003"))});
        QCOMPARE(year->count(), 3);

        typeYear(*dlg, QStringLiteral("20x3"));
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        typeYear(*dlg, QStringLiteral("203"));
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        typeYear(*dlg, QString());
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        QCOMPARE(year->count(), 3);

        pick(year, 1);
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList{QString::fromLatin1(logLine("07:00:00", "03/15/2026"))});
        QVERIFY(m_boxes.shown.isEmpty());

        // Enter in the Year box ends the window through OK and adds no entry.
        typeYear(*dlg, QStringLiteral("2011"));
        QTest::keyClick(year->lineEdit(), Qt::Key_Return);
        QTRY_VERIFY(!dlg->isVisible());
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(texts(year), strings({"2025", "2026", "1927"}));
    }

    void leapDayCanBeListed()
    {
        writeLog({logLine("06:00:00", "02/29/2000"), logLine("06:00:00", "02/29/2024")});
        auto dlg = open(QDate(2000, 2, 29));
        QCOMPARE(box(*dlg, "DayList")->count(), 29);
        QCOMPARE(box(*dlg, "DayList")->currentText(), QStringLiteral("29"));
        QCOMPARE(listed(*dlg), QStringList{QString::fromLatin1(logLine("06:00:00", "02/29/2000"))});
        typeYear(*dlg, QStringLiteral("2024"));
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList{QString::fromLatin1(logLine("06:00:00", "02/29/2024"))});
    }

    void linesAreSortedWithoutRegardToCase()
    {
        writeLog({logLine("10:00:00", "03/15/2026", "bob"), logLine("09:59:59", "03/15/2026"),
                  logLine("10:00:00", "03/15/2026", "Carol"), logLine("10:00:00", "03/15/2026", "alice"),
                  logLine("09:59:59", "03/15/2026"), logLine("10:00:00", "03/15/2026", "J\xF6rg"),
                  logLine("08:00:00", "03/16/2026")});
        auto dlg = open(QDate(2026, 3, 15));
        QCOMPARE(listed(*dlg), QStringList({QString::fromLatin1(logLine("09:59:59", "03/15/2026")),
                                            QString::fromLatin1(logLine("09:59:59", "03/15/2026")),
                                            QString::fromLatin1(logLine("10:00:00", "03/15/2026", "alice")),
                                            QString::fromLatin1(logLine("10:00:00", "03/15/2026", "bob")),
                                            QString::fromLatin1(logLine("10:00:00", "03/15/2026", "Carol")),
                                            QStringLiteral("10:00:00  03/15/2026  192.168.1.10  J\u00f6rg  "
                                                           "LoggedOn")}));
    }

    void refreshCentresOnTheMainWindow()
    {
        writeLog({logLine("08:00:00", "03/15/2026")});
        auto dlg = open(QDate(2026, 3, 15));
        checkCentred(*dlg);
        dlg->move(3, 4);
        QTRY_COMPARE(dlg->pos(), QPoint(3, 4));
        refresh(*dlg);
        checkCentred(*dlg);
    }

    void refreshWithoutFileLeavesWindowWhereItIs()
    {
        auto dlg = open(QDate(2026, 3, 15));
        checkCentred(*dlg);
        dlg->move(3, 4);
        QTRY_COMPARE(dlg->pos(), QPoint(3, 4));
        refresh(*dlg);
        QCoreApplication::processEvents();
        QCOMPARE(dlg->pos(), QPoint(3, 4));
    }

    void readFailureShowsErrorBoxAndKeepsLines()
    {
        auto dlg = open(QDate(2026, 3, 15));
        QByteArray content;
        for (const char* time : {"08:00:00", "07:00:00", "09:00:00"})
            content += logLine(time, "03/15/2026") + "\r\n" + logLine(time, "03/16/2026") + "\r\n";
        dlg->setLogOpener([content](const QByteArray&) { return std::make_unique<FailingSource>(content); });
        refresh(*dlg);
        QCOMPARE(listed(*dlg), QStringList({QString::fromLatin1(logLine("07:00:00", "03/15/2026")),
                                            QString::fromLatin1(logLine("08:00:00", "03/15/2026")),
                                            QString::fromLatin1(logLine("09:00:00", "03/15/2026"))}));
        QCOMPARE(m_boxes.shown.size(), 1);
        QCOMPARE(m_boxes.shown[0].owner, dlg.get());
        QCOMPARE(m_boxes.shown[0].icon, MessageBoxes::Icon::Critical);
        QVERIFY(m_boxes.shown[0].text.contains(QString::fromLocal8Bit(m_path)));
        QVERIFY(m_boxes.shown[0].text.contains(QString::fromLocal8Bit(std::strerror(EIO))));

        dlg->setLogOpener([](const QByteArray&) { return std::unique_ptr<LogSource>(); });
        refresh(*dlg);
        QVERIFY(listed(*dlg).isEmpty());
        QCOMPARE(m_boxes.shown.size(), 1);
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

        dlg = open(QDate(2026, 3, 15));
        QSignalSpy rejected(dlg.get(), &QDialog::rejected);
        dlg->close();
        QCOMPARE(rejected.size(), 1);
        QVERIFY(!dlg->isVisible());
    }

    void helpOpensAndShowsTheTopic()
    {
        HelpWindow help;
        help.show();
        QVERIFY(QTest::qWaitForWindowExposed(&help));
        QVERIFY(help.isWindow());
        QCOMPARE(help.windowTitle(), QStringLiteral("Sorvane Help"));
        auto* text = help.findChild<QTextBrowser*>(QStringLiteral("HelpText"));
        QVERIFY(text);
        QCOMPARE(text->accessibleName(), QStringLiteral("Help"));
        QCOMPARE(text->source(), QUrl(QStringLiteral("qrc:/help/sorvane.html")));
        const QString page = text->toPlainText();
        for (const char* needle :
             {"Selected Server", "Available Servers", "Refresh Server List", "Online Users Information",
              "UDP port 1019", "3 seconds", "Listening for events on UDP port N",
              "Not receiving events: UDP port N:", "N log lines lost, N events dropped by the system",
              "userfile", "--log-file", "sudo setcap cap_net_bind_service=+ep <path to sorvane binary>",
              "--event-port N"})
            QVERIFY2(page.contains(QLatin1String(needle)), needle);
        QTest::keyClick(text, Qt::Key_Escape);
        QTRY_VERIFY(!help.isVisible());
    }
};

QTEST_MAIN(TestHistoryDlg)
#include "tst_historydlg.moc"
