// SPDX-License-Identifier: GPL-3.0-or-later
#include "historywindow/HistoryWindow.h"

#include "historywindow/HourlyChart.h"
#include "log/LogReader.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"
#include "widgets/FilterField.h"
#include "widgets/ListCommands.h"
#include "widgets/MessageBoxes.h"
#include "widgets/TextMatcher.h"
#include "widgets/TimeText.h"
#include "widgets/ViewText.h"

#include <QAbstractListModel>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

bool lessWithoutCase(const QByteArray& a, const QByteArray& b)
{
    const auto* p = reinterpret_cast<const unsigned char*>(a.constData());
    const auto* q = reinterpret_cast<const unsigned char*>(b.constData());
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (foldLatin1(p[i]) != foldLatin1(q[i]))
            return foldLatin1(p[i]) < foldLatin1(q[i]);
    }
    return a.size() < b.size();
}

int twoDigitYearOf(const QDate& date)
{
    return (date.year() % 100 + 100) % 100;
}

bool isFourDigitYear(const QString& text)
{
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

// The lines of one Refresh, sorted once as a sorted list box orders them; with a filter, only those
// that hold its text.
class HistoryLineModel : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        if (parent.isValid())
            return 0;
        return static_cast<int>(m_matcher.isEmpty() ? m_lines.size() : m_shown.size());
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount())
            return {};
        if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
            return {};
        return QString::fromLatin1(line(index.row()));
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        // The title of the one column of a CSV export.
        if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return QStringLiteral("Log line");
        return QAbstractListModel::headerData(section, orientation, role);
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren
                               : Qt::NoItemFlags;
    }

    void setLines(std::vector<QByteArray> lines)
    {
        // A log is written as the events come, so a day's lines are mostly in order already.
        if (!std::is_sorted(lines.begin(), lines.end(), lessWithoutCase))
            std::stable_sort(lines.begin(), lines.end(), lessWithoutCase);
        beginResetModel();
        m_lines.swap(lines);
        applyFilter();
        endResetModel();
    }

    void setFilter(const QString& text)
    {
        beginResetModel();
        m_matcher = TextMatcher(text);
        applyFilter();
        endResetModel();
    }

private:
    const QByteArray& line(int row) const
    {
        const auto at = static_cast<std::size_t>(row);
        return m_lines[m_matcher.isEmpty() ? at : m_shown[at]];
    }

    void applyFilter()
    {
        m_shown.clear();
        if (m_matcher.isEmpty())
            return;
        for (std::size_t i = 0; i < m_lines.size(); ++i) {
            if (m_matcher.in(m_lines[i]))
                m_shown.push_back(static_cast<quint32>(i));
        }
    }

    std::vector<QByteArray> m_lines;
    TextMatcher m_matcher;
    std::vector<quint32> m_shown; // with a filter, the lines it keeps
};

HistoryWindow::HistoryWindow(QWidget* parent, const QByteArray& userFilePath, MessageBoxes& boxes,
                             std::function<QDate()> today)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_model(new HistoryLineModel(this)), m_userFilePath(userFilePath), m_boxes(boxes),
      m_today(std::move(today))
{
    setWindowTitle(QStringLiteral("History"));
    const DialogUnits du(font());

    // Created in the template's order, which is also the tab order.
    DayList = new QComboBox(this);
    addLabel(QStringLiteral("Day"), du.rect(16, 18, 14, 8), DayList);
    MonthList = new QComboBox(this);
    addLabel(QStringLiteral("Month"), du.rect(86, 18, 21, 8), MonthList);
    YearList = new QComboBox(this);
    addLabel(QStringLiteral("Year"), du.rect(163, 18, 19, 8), YearList);
    m_refresh = makeButton(this, QStringLiteral("Refresh"), du.rect(256, 16, 50, 14));
    m_filter = new FilterField(QStringLiteral("Filter lines"), this);
    m_filter->setObjectName(QStringLiteral("HistoryFilter"));
    m_filter->setGeometry(du.rect(20, 36, 285, 14));
    m_chart = new HourlyChart(this);
    m_chart->setObjectName(QStringLiteral("HourlyChart"));
    m_chart->setAccessibleName(QStringLiteral("Lines per hour"));
    m_chart->setFocusPolicy(Qt::NoFocus);
    m_chart->setGeometry(du.rect(20, 54, 285, 100));
    HistoryList = new QListView(this);
    m_ok = makeButton(this, QStringLiteral("OK"), du.rect(134, 277, 50, 14));
    m_sessions = makeButton(this, QStringLiteral("&Sessions..."), du.rect(20, 277, 60, 14));

    const std::pair<QComboBox*, QRect> boxes3[] = {{DayList, du.rect(34, 16, 48, 48)},
                                                   {MonthList, du.rect(111, 16, 48, 44)},
                                                   {YearList, du.rect(186, 16, 48, 47)}};
    const char* const names[] = {"DayList", "MonthList", "YearList"};
    const char* const labels[] = {"Day", "Month", "Year"};
    for (int i = 0; i < 3; ++i) {
        QComboBox* box = boxes3[i].first;
        box->setObjectName(QLatin1String(names[i]));
        box->setAccessibleName(QLatin1String(labels[i]));
        box->setMaxVisibleItems(12);
        QRect r = boxes3[i].second;
        // The template's height includes the opened list; the closed box keeps its own height.
        r.setHeight(box->sizeHint().height());
        box->setGeometry(r);
    }
    YearList->setEditable(true);
    YearList->setInsertPolicy(QComboBox::NoInsert);
    YearList->setCompleter(nullptr);

    HistoryList->setObjectName(QStringLiteral("HistoryList"));
    HistoryList->setAccessibleName(QStringLiteral("History lines"));
    HistoryList->setGeometry(du.rect(20, 158, 285, 112));
    HistoryList->setModel(m_model);
    HistoryList->setUniformItemSizes(true);
    HistoryList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    HistoryList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    HistoryList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    HistoryList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    m_ok->setDefault(true);
    m_commands = new ListCommands(HistoryList, QStringLiteral("&Export..."), [this] { exportLines(); });
    connect(m_commands->menu()->addAction(QStringLiteral("Export to &CSV...")), &QAction::triggered, this,
            &HistoryWindow::exportCsv);

    // The layout's size is the first and the smallest; the list takes any extra room.
    m_baseSize = QSize(du.x(326), du.y(304));
    setMinimumSize(m_baseSize);
    resize(m_baseSize);

    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        m_filter->setFocus(Qt::ShortcutFocusReason);
        m_filter->selectAll();
    });
    connect(m_filter, &QLineEdit::textChanged, this, &HistoryWindow::filterLines);
    connect(MonthList, &QComboBox::activated, this, &HistoryWindow::showSelectedMonth);
    connect(m_refresh, &QPushButton::clicked, this, &HistoryWindow::refreshHistory);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_sessions, &QPushButton::clicked, this, [this] {
        if (openSessions)
            openSessions(chosenDate());
    });

    const QDate now = m_today();
    FillDateLists(now.day(), now.month(), twoDigitYearOf(now));
    centreOnOwner();
    refreshHistory();
}

HistoryWindow::~HistoryWindow() = default;

QLabel* HistoryWindow::addLabel(const QString& text, const QRect& rect, QWidget* buddy)
{
    auto* label = new QLabel(text, this);
    label->setAccessibleName(text);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setBuddy(buddy);
    label->setGeometry(rect);
    return label;
}

void HistoryWindow::FillDateLists(int day, int month, int twoDigitYear)
{
    if (month < 1 || month > 12)
        return;
    const QSignalBlocker blockDay(DayList);
    const QSignalBlocker blockMonth(MonthList);
    const QSignalBlocker blockYear(YearList);
    MonthList->clear();
    DayList->clear();
    YearList->clear();

    const int year = twoDigitYear == 99 ? 1999 : 2000 + twoDigitYear;
    QStringList days;
    for (int d = 1; d <= DaysInMonth[month - 1]; ++d)
        days << QString::asprintf("%02d", d);
    DayList->addItems(days);
    for (const char* name : MonthNames)
        MonthList->addItem(QLatin1String(name));
    YearList->addItems({QString::number(year - 1), QString::number(year), QString::number(year - 99)});

    DayList->setCurrentIndex(day >= 1 && day <= DayList->count() ? day - 1 : -1);
    MonthList->setCurrentIndex(month - 1);
    YearList->setCurrentIndex(1);
}

QString HistoryWindow::chosenYear() const
{
    // The Year box takes typing: a typed four-digit year counts as much as a chosen entry.
    const QString text = YearList->currentText();
    if (isFourDigitYear(text))
        return text;
    const int chosen = YearList->currentIndex();
    if (chosen >= 0 && text == YearList->itemText(chosen))
        return text;
    return {};
}

QByteArray HistoryWindow::DateKey() const
{
    const int month = MonthList->currentIndex() + 1;
    const QString year = chosenYear();
    if (DayList->currentIndex() < 0 || month < 1 || year.isEmpty())
        return {};
    return QString::asprintf("%02d", month).toLatin1() + '/' + DayList->currentText().toLatin1() + '/' +
           year.toLatin1();
}

void HistoryWindow::refreshHistory()
{
    const QByteArray key = DateKey();
    if (key.isEmpty()) {
        m_model->setLines({});
        m_chart->setCounts({});
        return;
    }
    bool opened = false;
    LogSearchResult found = findDateLinesInLogs(m_userFilePath, key, &opened);
    m_model->setLines(std::move(found.lines));
    m_chart->setCounts(found.perHour);
    if (!opened)
        return;
    if (found.error != 0) {
        m_boxes.show(
            this,
            QStringLiteral("An unexpected error occurred while reading %1: %2.")
                .arg(QFile::decodeName(found.errorFile), QString::fromLocal8Bit(std::strerror(found.error))),
            QString(), MessageBoxes::Icon::Critical);
        return;
    }
    centreOnOwner();
}

void HistoryWindow::showSelectedMonth()
{
    const int month = MonthList->currentIndex() + 1;
    const int day = DayList->currentIndex() >= 0 ? DayList->currentText().toInt() : 0;
    FillDateLists(day, month, twoDigitYearOf(m_today()));
}

void HistoryWindow::filterLines()
{
    m_model->setFilter(m_filter->text());
}

QDate HistoryWindow::chosenDate() const
{
    return QDate(chosenYear().toInt(), MonthList->currentIndex() + 1, DayList->currentText().toInt());
}

QString HistoryWindow::exportName(const char* extension) const
{
    return QStringLiteral("sorvane-history-%1.%2")
        .arg(chosenDate().toString(dateFormat()), QLatin1String(extension));
}

void HistoryWindow::exportLines()
{
    saveWithChooser(this, m_boxes, chooseExportPath, QStringLiteral("Export"), exportName("txt"),
                    QStringLiteral("Text files (*.txt);;All files (*)"),
                    [this](const QString& path) { return exportViewAsText(*HistoryList, path); });
}

void HistoryWindow::exportCsv()
{
    saveWithChooser(this, m_boxes, chooseExportPath, QStringLiteral("Export to CSV"), exportName("csv"),
                    QStringLiteral("CSV files (*.csv);;All files (*)"),
                    [this](const QString& path) { return exportViewAsCsv(*HistoryList, path); });
}

void HistoryWindow::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    layOut();
}

void HistoryWindow::layOut()
{
    const DialogUnits du(font());
    const int dx = std::max(0, width() - m_baseSize.width());
    const int dy = std::max(0, height() - m_baseSize.height());
    const auto wider = [dx](QRect r) { return r.adjusted(0, 0, dx, 0); };
    m_filter->setGeometry(wider(du.rect(20, 36, 285, 14)));
    m_chart->setGeometry(wider(du.rect(20, 54, 285, 100)));
    HistoryList->setGeometry(wider(du.rect(20, 158, 285, 112)).adjusted(0, 0, 0, dy));
    m_ok->setGeometry(du.rect(134, 277, 50, 14).translated(dx / 2, dy));
    m_sessions->setGeometry(du.rect(20, 277, 60, 14).translated(0, dy));
}

void HistoryWindow::centreOnOwner()
{
    // Client area on client area: both windows carry a title bar, and our own frame is not known
    // before the window is first shown.
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QScreen* screen = owner ? owner->screen() : this->screen();
    const QRect area = owner ? owner->geometry() : (screen ? screen->availableGeometry() : QRect());
    if (area.isEmpty())
        return;
    QRect client = geometry();
    client.moveTopLeft(QPoint(area.left() + (area.width() - client.width()) / 2,
                              area.top() + (area.height() - client.height()) / 2));
    // Like the platform's centring, keep a window that fits on the screen within it.
    if (screen) {
        const QRect frame = frameGeometry();
        const QMargins margins(geometry().left() - frame.left(), geometry().top() - frame.top(),
                               frame.right() - geometry().right(), frame.bottom() - geometry().bottom());
        const QRect avail = screen->availableGeometry().marginsRemoved(margins);
        if (client.width() <= avail.width())
            client.moveLeft(std::clamp(client.left(), avail.left(), avail.right() + 1 - client.width()));
        if (client.height() <= avail.height())
            client.moveTop(std::clamp(client.top(), avail.top(), avail.bottom() + 1 - client.height()));
    }
    setGeometry(client);
}
