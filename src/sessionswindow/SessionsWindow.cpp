// SPDX-License-Identifier: GPL-3.0-or-later
#include "sessionswindow/SessionsWindow.h"

#include "events/Address.h"
#include "sessionswindow/ResultTable.h"
#include "widgets/Controls.h"
#include "widgets/FilterField.h"
#include "widgets/ListCommands.h"
#include "widgets/TimeText.h"
#include "widgets/ViewText.h"

#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableView>

namespace
{

const QString TIME_HINT = QStringLiteral("YYYY-MM-DD HH:MM");

// A local date and time as the operator types it; a date alone is that day's start, or for the end
// of a range the next day's, so that "to" a date takes all of it.
std::optional<QDateTime> localTime(const QString& text, bool endOfRange)
{
    for (const char* format :
         {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm"}) {
        const QDateTime time = QDateTime::fromString(text, QLatin1String(format));
        if (time.isValid())
            return time;
    }
    const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    if (date.isValid())
        return (endOfRange ? date.addDays(1) : date).startOfDay();
    return std::nullopt;
}

} // namespace

SessionsWindow::SessionsWindow(QWidget* parent, const QString& location, MessageBoxes& boxes,
                               const QDate& day)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_location(location), m_boxes(boxes), m_table(new ResultTable(this))
{
    setWindowTitle(QStringLiteral("Sessions"));
    auto* grid = new QGridLayout(this);
    m_user = addField(QStringLiteral("&User"), QStringLiteral("any user"), 0, 0);
    m_address = addField(QStringLiteral("&Address"), QStringLiteral("any address"), 0, 2);
    m_server = addField(QStringLiteral("Ser&ver"), QStringLiteral("any server"), 0, 4);
    m_from = addField(QStringLiteral("&From"), TIME_HINT, 1, 0);
    m_to = addField(QStringLiteral("&To"), TIME_HINT, 1, 2);
    m_at = addField(QStringLiteral("A&t"), TIME_HINT, 1, 4);
    m_user->setToolTip(QStringLiteral("The whole user name, as the firewall sends it"));
    for (QLineEdit* time : {m_from, m_to, m_at})
        time->setToolTip(QStringLiteral("Local time, %1; empty for no bound").arg(TIME_HINT));
    m_at->setToolTip(QStringLiteral("Who was online at that moment (local time, %1)").arg(TIME_HINT));

    m_results = new QComboBox(this);
    m_results->setObjectName(QStringLiteral("Results"));
    m_results->setAccessibleName(QStringLiteral("Results"));
    m_results->addItems(
        {QStringLiteral("Sessions"), QStringLiteral("Events"), QStringLiteral("Totals per user")});
    auto* show = new QLabel(QStringLiteral("&Results"), this);
    show->setBuddy(m_results);
    grid->addWidget(show, 2, 0);
    grid->addWidget(m_results, 2, 1);
    auto* run = new QHBoxLayout;
    m_search = makeButton(this, QStringLiteral("&Search"), {});
    m_search->setDefault(true);
    run->addWidget(m_search);
    m_cancel = makeButton(this, QStringLiteral("&Cancel"), {});
    run->addWidget(m_cancel);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("Progress"));
    m_progress->setAccessibleName(QStringLiteral("Searching"));
    m_progress->setRange(0, 0); // busy: how many rows will come is not known
    m_progress->setTextVisible(false);
    run->addWidget(m_progress, 1);
    run->addStretch();
    grid->addLayout(run, 2, 2, 1, 4);

    m_filter = new FilterField(QStringLiteral("Filter rows"), this);
    m_filter->setObjectName(QStringLiteral("SessionsFilter"));
    grid->addWidget(m_filter, 3, 0, 1, 6);
    m_list = makeListView(this, m_table, QStringLiteral("SessionsList"));
    m_list->setAccessibleName(QStringLiteral("Results list"));
    grid->addWidget(m_list, 4, 0, 1, 6);
    grid->setRowStretch(4, 1);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("SessionsStatus"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->setWordWrap(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    QPushButton* close = makeButton(this, QStringLiteral("Close"), {});
    close->setAutoDefault(false);
    bottom->addWidget(close);
    grid->addLayout(bottom, 5, 0, 1, 6);

    auto* commands = new ListCommands(m_list, QStringLiteral("&Export..."), [this] { exportRows(false); });
    connect(commands->menu()->addAction(QStringLiteral("Export to &CSV...")), &QAction::triggered, this,
            [this] { exportRows(true); });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        m_filter->setFocus(Qt::ShortcutFocusReason);
        m_filter->selectAll();
    });
    connect(m_filter, &QLineEdit::textChanged, this, &SessionsWindow::filterRows);
    connect(m_search, &QPushButton::clicked, this, &SessionsWindow::search);
    connect(m_cancel, &QPushButton::clicked, this, &SessionsWindow::cancel);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    if (day.isValid()) {
        m_from->setText(day.toString(dateFormat()));
        m_to->setText(day.toString(dateFormat()));
    }
    m_table->reset(resultTitles(m_kind));
    setRunning(false);
    setStatus(m_location.isEmpty() ? QStringLiteral("The monitor keeps no event store.")
                                   : QStringLiteral("Store: %1").arg(m_location));
    resize(900, 520);
}

SessionsWindow::~SessionsWindow() = default;

QLineEdit* SessionsWindow::addField(const QString& name, const QString& placeholder, int row, int column)
{
    auto* field = new QLineEdit(this);
    const QString plain = QString(name).remove(QLatin1Char('&'));
    field->setObjectName(plain);
    field->setAccessibleName(plain);
    field->setPlaceholderText(placeholder);
    field->setClearButtonEnabled(true);
    auto* label = new QLabel(name, this);
    label->setBuddy(field);
    auto* grid = static_cast<QGridLayout*>(layout());
    grid->addWidget(label, row, column);
    grid->addWidget(field, row, column + 1);
    return field;
}

bool SessionsWindow::readQuery(StoreQuery& query)
{
    const auto refuse = [this](QLineEdit* field, const QString& problem) {
        setStatus(QStringLiteral("%1: %2").arg(field->accessibleName(), problem));
        field->setFocus();
        field->selectAll();
        return false;
    };
    query.user = m_user->text().trimmed();
    for (auto [field, address] : {std::pair{m_address, &query.address}, std::pair{m_server, &query.server}}) {
        const QString text = field->text().trimmed();
        if (text.isEmpty())
            continue;
        quint32 hostOrder = 0;
        QString problem;
        if (!parseIPv4(text, hostOrder, &problem))
            return refuse(field, problem.isEmpty() ? QStringLiteral("not an IPv4 address") : problem);
        *address = hostOrder;
    }
    const std::pair<QLineEdit*, std::optional<qint64>*> times[] = {
        {m_from, &query.fromMicros}, {m_to, &query.toMicros}, {m_at, &query.atMicros}};
    for (auto [field, micros] : times) {
        const QString text = field->text().trimmed();
        if (text.isEmpty())
            continue;
        const std::optional<QDateTime> time = localTime(text, field == m_to);
        if (!time)
            return refuse(field, QStringLiteral("not a date and time (%1)").arg(TIME_HINT));
        *micros = time->toMSecsSinceEpoch() * 1000;
    }
    if (query.fromMicros && query.toMicros && *query.toMicros <= *query.fromMicros)
        return refuse(m_to, QStringLiteral("the range ends before it starts"));
    return true;
}

void SessionsWindow::search()
{
    if (m_run)
        return;
    StoreQuery query;
    if (!readQuery(query))
        return;
    if (m_location.isEmpty()) {
        setStatus(QStringLiteral("The monitor keeps no event store."));
        return;
    }
    m_kind = ResultKind(m_results->currentIndex());
    m_table->reset(resultTitles(m_kind));
    m_run = new QueryRun(
        m_location, query, m_kind, QDateTime::currentMSecsSinceEpoch() * 1000,
        [this](std::vector<QByteArray> rows) { takeRows(std::move(rows)); },
        [this](const QString& error) { ended(error); }, this);
    setRunning(true);
    setStatus(QStringLiteral("Searching..."));
}

void SessionsWindow::cancel()
{
    if (!m_run)
        return;
    m_run->cancel();
    m_run = nullptr;
    setRunning(false);
    setStatus(QStringLiteral("Cancelled: %1 so far").arg(rowsText()));
}

void SessionsWindow::done(int result)
{
    cancel();
    QDialog::done(result);
}

void SessionsWindow::takeRows(std::vector<QByteArray> rows)
{
    const bool first = m_table->allRows() == 0;
    m_table->append(std::move(rows));
    if (first)
        m_list->resizeColumnsToContents();
    setStatus(QStringLiteral("Searching... %1 so far").arg(rowsText()));
}

void SessionsWindow::ended(const QString& error)
{
    m_run->deleteLater();
    m_run = nullptr;
    setRunning(false);
    setStatus(error.isEmpty() ? rowsText()
                              : QStringLiteral("Could not ask the store %1: %2").arg(m_location, error));
}

void SessionsWindow::setRunning(bool running)
{
    m_search->setEnabled(!running);
    m_cancel->setEnabled(running);
    m_progress->setVisible(running);
}

void SessionsWindow::setStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setAccessibleName(text);
}

QString SessionsWindow::rowsText() const
{
    static const char* const nouns[][2] = {{"session", "sessions"}, {"event", "events"}, {"user", "users"}};
    const int all = m_table->allRows();
    const QString noun = QLatin1String(nouns[int(m_kind)][all == 1 ? 0 : 1]);
    if (m_table->isFiltering())
        return QStringLiteral("%1 of %2 %3").arg(m_table->rowCount()).arg(all).arg(noun);
    return QStringLiteral("%1 %2").arg(all).arg(noun);
}

void SessionsWindow::filterRows()
{
    m_table->setFilter(m_filter->text());
    if (!m_run && m_table->columnCount() > 0 && !m_status->text().startsWith(QLatin1String("Store:")))
        setStatus(rowsText());
}

void SessionsWindow::exportRows(bool csv)
{
    static const char* const names[] = {"sessions", "events", "totals"};
    const QString name = QStringLiteral("sorvane-%1.%2")
                             .arg(QLatin1String(names[int(m_kind)]), QLatin1String(csv ? "csv" : "txt"));
    saveWithChooser(this, m_boxes, chooseExportPath,
                    csv ? QStringLiteral("Export to CSV") : QStringLiteral("Export"), name,
                    csv ? QStringLiteral("CSV files (*.csv);;All files (*)")
                        : QStringLiteral("Text files (*.txt);;All files (*)"),
                    [this, csv](const QString& path) {
                        return csv ? exportViewAsCsv(*m_list, path) : exportViewAsText(*m_list, path);
                    });
}
