// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "events/EventKind.h"
#include "historywindow/HistoryWindow.h"
#include "mainwindow/EventListModel.h"
#include "mainwindow/OnlineUserModel.h"
#include "mainwindow/RowFilterModel.h"
#include "mainwindow/ServerListBox.h"
#include "net/Endpoint.h"
#include "sessionswindow/SessionsWindow.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"
#include "widgets/ElidedLabel.h"
#include "widgets/FilterField.h"
#include "widgets/HelpWindow.h"
#include "widgets/ListCommands.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTableView>
#include <QTimer>

#include <cstdio>

namespace
{

const int ONLINE_USER_WIDTHS[] = {70, 70, 90, 90, 120, 100};
const int EVENT_WIDTHS[] = {80, 80, 100, 100, 180};

} // namespace

// Resources of a static library need registering; outside any namespace, as Qt requires.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

MainWindow::MainWindow(const DialogOptions& options, Monitor& monitor, DiscoveryEndpoint& discovery,
                       MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), m_options(options), m_monitor(monitor), m_intake(monitor.intake()),
      m_discovery(discovery), m_boxes(boxes)
{
    initIconResources();
    m_icon.addPixmap(QPixmap(QStringLiteral(":/icons/sorvane-32.xpm")));
    m_icon.addPixmap(QPixmap(QStringLiteral(":/icons/sorvane-16.xpm")));
    setObjectName(QStringLiteral("Sorvane"));
    setWindowTitle(QStringLiteral("Sorvane"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    createMenus();
    createControls();
    routeMessages();
}

MainWindow::~MainWindow()
{
    m_monitor.onlineUsers().listener = {};
    m_discovery.CloseDiscoverySocket();
}

void MainWindow::place(QWidget* widget, const QRect& base, int grows)
{
    // The design's layout sits under the menu bar.
    const QRect below = base.translated(0, menuBarHeight());
    widget->setGeometry(below);
    m_placements.push_back({widget, below, grows});
}

void MainWindow::createControls()
{
    const DialogUnits units(font());
    // The layout's size is the first and the smallest; extra room goes to the lists.
    m_baseSize = QSize(units.x(380), units.y(280) + menuBarHeight());
    setMinimumSize(m_baseSize);
    resize(m_baseSize);
    // A combo box keeps its own height; the layout gives only where it starts.
    auto comboRect = [&units](QComboBox* combo, int x, int y, int w) {
        const QRect r = units.rect(x, y, w, 0);
        return QRect(r.x(), r.y(), r.width(), combo->sizeHint().height());
    };

    // Template order, which is also the tab order.
    m_closeButton = makeButton(this, QStringLiteral("Close"), units.rect(7, 124, 93, 14));
    // Enter on Close does nothing: a stray key press must never stop the monitor.
    m_closeButton->setAutoDefault(false);
    place(m_closeButton, m_closeButton->geometry(), MoveDownUpper);
    m_helpButton = makeButton(this, QStringLiteral("&Help"), units.rect(7, 140, 93, 14));
    place(m_helpButton, m_helpButton->geometry(), MoveDownUpper);
    auto* serversLabel = new QLabel(QStringLiteral("Available Servers"), this);
    place(serversLabel, units.rect(7, 37, 93, 13), Fixed);
    m_refreshButton = makeButton(this, QStringLiteral("Refresh Server List"), units.rect(7, 92, 93, 14));
    place(m_refreshButton, m_refreshButton->geometry(), MoveDownUpper);
    m_historyButton = makeButton(this, QStringLiteral("History"), units.rect(7, 108, 93, 14));
    place(m_historyButton, m_historyButton->geometry(), MoveDownUpper);
    m_onlineFrame = new QGroupBox(QStringLiteral("Online Users Information"), this);
    place(m_onlineFrame, units.rect(103, 16, 270, 129), Wider | TallerUpper);

    GroupFilter = new QComboBox(this);
    GroupFilter->setObjectName(QStringLiteral("GroupFilter"));
    GroupFilter->setAccessibleName(QStringLiteral("Online Users Information: group"));
    const QRect groupRect = comboRect(GroupFilter, 117, 28, 100);
    place(GroupFilter, groupRect, Fixed);
    GroupFilter->addItem(QString::fromLatin1(ALL_GROUPS));

    OnlineUserFilter = new FilterField(QStringLiteral("Filter online users"), this);
    OnlineUserFilter->setObjectName(QStringLiteral("OnlineUserFilter"));
    place(OnlineUserFilter, QRect(units.x(221), groupRect.y(), units.x(144), groupRect.height()), Wider);

    m_onlineUserModel = new OnlineUserModel(this);
    m_onlineUserView = new RowFilterModel(m_onlineUserModel, this);
    OnlineUserList = makeListView(this, m_onlineUserView, QStringLiteral("OnlineUserList"));
    OnlineUserList->setAccessibleName(QStringLiteral("Online Users Information"));
    place(OnlineUserList, units.rect(107, 48, 258, 92), Wider | TallerUpper);

    // The filter bar, in the row under the buttons; the row's left part is kept free.
    EventFilter = new FilterField(QStringLiteral("Filter events"), this);
    EventFilter->setObjectName(QStringLiteral("EventFilter"));
    EventKindFilter = new QComboBox(this);
    EventKindFilter->setObjectName(QStringLiteral("EventKindFilter"));
    EventKindFilter->setAccessibleName(QStringLiteral("Event kinds"));
    EventKindFilter->addItem(QStringLiteral("All events"));
    for (int kind = 0; kind < EVENT_KIND_COUNT; ++kind) {
        if (EventKind(kind) != EventKind::Other)
            EventKindFilter->addItem(QString::fromLatin1(eventKindName(EventKind(kind))));
    }
    const QRect kindRect = comboRect(EventKindFilter, 191, 158, 100);
    place(EventKindFilter, kindRect, MoveDownUpper | MoveRight);
    place(EventFilter, QRect(units.x(107), kindRect.y(), units.x(80), kindRect.height()),
          MoveDownUpper | Wider);
    m_eventCount = new ElidedLabel(this);
    m_eventCount->setObjectName(QStringLiteral("EventCount"));
    m_eventCount->setAccessibleName(QStringLiteral("Events shown"));
    place(m_eventCount, QRect(units.x(295), kindRect.y(), units.x(70), kindRect.height()),
          MoveDownUpper | MoveRight);

    m_eventModel = new EventListModel(this, m_options.maxEventRows);
    m_eventView = new RowFilterModel(m_eventModel, this);
    EventList = makeListView(this, m_eventView, QStringLiteral("EventList"));
    EventList->setAccessibleName(QStringLiteral("Events"));
    place(EventList, units.rect(7, 176, 358, 91), MoveDownUpper | Wider | TallerLower);

    ServerList = new ServerListBox(this);
    ServerList->setObjectName(QStringLiteral("ServerList"));
    ServerList->setAccessibleName(serversLabel->text());
    ServerList->setSelectionMode(QAbstractItemView::SingleSelection);
    place(ServerList, units.rect(7, 48, 92, 40), TallerUpper);
    serversLabel->setBuddy(ServerList);

    SelectedServerField = new QLineEdit(this);
    SelectedServerField->setObjectName(QStringLiteral("SelectedServerField"));
    SelectedServerField->setAccessibleName(QStringLiteral("Selected Server"));
    place(SelectedServerField, units.rect(7, 21, 85, 14), Fixed);
    auto* selectedLabel = new QLabel(QStringLiteral(" Selected Server"), this);
    place(selectedLabel, units.rect(7, 9, 82, 8), Fixed);
    selectedLabel->setBuddy(SelectedServerField);

    m_statusLine = new ElidedLabel(this);
    m_statusLine->setObjectName(QStringLiteral("StatusLine"));
    m_statusLine->setAccessibleName(QStringLiteral("Status"));
    place(m_statusLine, units.rect(7, 269, 358, 9), MoveDownAll | Wider);
    m_statusIcon = new QLabel(m_statusLine);
    const int iconSize = m_statusLine->height();
    m_statusIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    m_statusIcon->setGeometry(0, 0, iconSize, iconSize);
    m_statusIcon->hide();

    // Made after the design's controls, so it comes after them in the tab order.
    m_alertsButton = makeButton(this, QStringLiteral("Alerts"), units.rect(7, 158, 93, 14));
    place(m_alertsButton, m_alertsButton->geometry(), MoveDownUpper);

    m_selectServerTimer = new QTimer(this);
    m_selectServerTimer->setSingleShot(true);

    // Only the window's background, labels and frame open the window menu; the buttons and
    // drop-downs keep a right-click to themselves, the text fields keep their edit menu, and the
    // lists open their own.
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_closeButton, m_helpButton, m_refreshButton, m_historyButton,
                                         m_alertsButton, GroupFilter, EventKindFilter, ServerList})
        control->setContextMenuPolicy(Qt::PreventContextMenu);
    m_eventCommands =
        new ListCommands(EventList, QStringLiteral("&Export to CSV..."), [this] { exportEvents(); });
    m_onlineUserCommands = new ListCommands(OnlineUserList, QStringLiteral("&Export to CSV..."),
                                            [this] { exportOnlineUsers(); });

    m_windowMenu = new QMenu(this);
    m_windowMenu->addAction(QStringLiteral("Mi&nimize"))->setData(int(WindowCommand::Minimize));
    m_windowMenu->addAction(QStringLiteral("&Close"))->setData(int(WindowCommand::Close));
    auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(shortcut, &QShortcut::activated, this,
            [this] { m_windowMenu->popup(mapToGlobal(QPoint(0, 0))); });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        EventFilter->setFocus(Qt::ShortcutFocusReason);
        EventFilter->selectAll();
    });
}

// One connection per message the window handles, in the order of its routing table.
void MainWindow::routeMessages()
{
    connect(&m_intake, &EventIntake::eventsArrived, this, &MainWindow::showEvents);
    // The monitor applies who is online before this window hears of the batch.
    OnlineUsers::Listener& online = m_monitor.onlineUsers().listener;
    online.batchBegins = [this] { m_onlineUserModel->beginBatch(); };
    online.changed = [this](const OnlineChange& change) { showOnlineChange(change); };
    online.batchEnds = [this] { m_onlineUserModel->endBatch(); };
    online.outOfMemory = [this] {
        m_boxes.show(this, QStringLiteral("Insufficient memory"), QStringLiteral("Users - Add"),
                     MessageBoxes::Icon::Stop);
    };
    connect(this, &MainWindow::discoverySocketMessage, this, &MainWindow::takeDiscoveryReply);
    connect(m_windowMenu, &QMenu::triggered, this,
            [this](QAction* action) { runWindowCommand(WindowCommand(action->data().toInt())); });
    connect(this, &QDialog::finished, this, &MainWindow::closeHelp);
    connect(EventFilter, &QLineEdit::textChanged, this, &MainWindow::filterEvents);
    connect(EventKindFilter, &QComboBox::currentIndexChanged, this, &MainWindow::filterEvents);
    connect(OnlineUserFilter, &QLineEdit::textChanged, this, &MainWindow::filterOnlineUsers);
    connect(GroupFilter, &QComboBox::activated, this, &MainWindow::showSelectedGroup);
    connect(m_historyButton, &QPushButton::clicked, this, &MainWindow::openHistory);
    connect(ServerList, &QListWidget::itemSelectionChanged, this, &MainWindow::showSelectedServer);
    connect(m_refreshButton, &QPushButton::clicked, this, &MainWindow::refreshServerList);
    connect(m_selectServerTimer, &QTimer::timeout, this, &MainWindow::CollectServerReply);
    connect(m_helpButton, &QPushButton::clicked, this, &MainWindow::openHelp);
    connect(m_closeButton, &QPushButton::clicked, this, &MainWindow::reject);
    connect(m_alertsButton, &QPushButton::clicked, this, &MainWindow::alertsRequested);
}

void MainWindow::startUp()
{
    m_windowMenu->addSeparator();
    m_windowMenu->addAction(QStringLiteral("&Settings..."))->setData(int(WindowCommand::Settings));
    m_windowMenu->addAction(QStringLiteral("&About Sorvane..."))->setData(int(WindowCommand::About));
    setWindowIcon(m_icon);
    {
        const QSignalBlocker blocker(GroupFilter);
        GroupFilter->setCurrentIndex(0);
    }
    refreshServerList();

    m_intake.open();
    updateStatus();
    std::fprintf(stderr, "sorvane: %s\n", statusText().toLocal8Bit().constData());

    createColumns();
    restoreLayout(m_options.layout);
    ServerList->setFocus();
}

void MainWindow::createColumns()
{
    const double scale = DialogUnits(font()).baseWidth() / 6.0;
    for (int i = 0; i < 6; ++i)
        OnlineUserList->setColumnWidth(i, qRound(ONLINE_USER_WIDTHS[i] * scale));
    for (int i = 0; i < 5; ++i)
        EventList->setColumnWidth(i, qRound(EVENT_WIDTHS[i] * scale));
}

void MainWindow::runWindowCommand(WindowCommand command)
{
    switch (command) {
    case WindowCommand::Minimize:
        showMinimized();
        break;
    case WindowCommand::Close:
        reject();
        break;
    case WindowCommand::Settings:
        emit settingsRequested();
        break;
    case WindowCommand::About:
        emit aboutRequested();
        break;
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // Enter on a list or field would press a default button; the window has none on purpose.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        event->accept();
    else
        QDialog::keyPressEvent(event);
}

void MainWindow::reject()
{
    if (m_askBeforeStop &&
        !m_boxes.ask(this,
                     QStringLiteral("Stop monitoring? Events sent to this computer will not be logged until "
                                    "Sorvane runs again."),
                     QStringLiteral("Stop"), QStringLiteral("Keep monitoring")))
        return;
    QDialog::reject();
}

void MainWindow::stopWithoutAsking()
{
    m_askBeforeStop = false;
    reject();
}

void MainWindow::setUnseenAlerts(int count)
{
    m_alertsButton->setText(count > 0 ? QStringLiteral("Alerts (%1)").arg(count) : QStringLiteral("Alerts"));
    m_alertsButton->setAccessibleName(m_alertsButton->text());
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event)
{
    m_windowMenu->popup(event->globalPos());
}

void MainWindow::openHistory()
{
    HistoryWindow dialog(this, m_options.userFilePath, m_boxes);
    dialog.chooseExportPath = chooseExportPath;
    dialog.openSessions = [this, &dialog](const QDate& day) {
        SessionsWindow sessions(&dialog, m_options.storeLocation, m_boxes, day);
        sessions.chooseExportPath = chooseExportPath;
        sessions.exec();
    };
    dialog.exec();
}

void MainWindow::openSessions(const QDate& day)
{
    SessionsWindow dialog(this, m_options.storeLocation, m_boxes, day);
    dialog.chooseExportPath = chooseExportPath;
    dialog.exec();
}

void MainWindow::openHelp()
{
    if (!m_helpWindow)
        m_helpWindow = std::make_unique<HelpWindow>();
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

void MainWindow::closeHelp()
{
    m_helpWindow.reset();
}

void MainWindow::addWindowStatus(StatusReport& report) const
{
    report.addCount(m_discovery.refusedReplies(), REFUSED_SENDERS);
    report.addCount(m_eventModel->rowsDropped(),
                    {"oldest row no longer shown", "oldest rows no longer shown"});
    if (extraStatus)
        extraStatus(report);
}

QString MainWindow::statusText() const
{
    StatusReport report;
    m_monitor.addStatus(report);
    addWindowStatus(report);
    return m_monitor.statusLine(report);
}

void MainWindow::updateStatus()
{
    StatusReport report;
    m_monitor.addStatus(report);
    // The monitor's own conditions warn; the window's (no desktop notifications) only inform.
    QStringList problems = report.conditions();
    addWindowStatus(report);
    m_statusLine->setFullText(m_monitor.statusLine(report), m_options.inForce);
    if (!m_intake.isTaking())
        problems.prepend(m_monitor.statusLine(StatusReport()));
    if (problems == m_problems)
        return;
    m_problems = problems;
    const bool warn = !problems.isEmpty();
    // The style's warning icon and its tooltip colours, so the state shows in any theme.
    m_statusIcon->setVisible(warn);
    m_statusLine->setContentsMargins(warn ? m_statusIcon->width() + 3 : 0, 0, 0, 0);
    m_statusLine->setAutoFillBackground(warn);
    m_statusLine->setBackgroundRole(warn ? QPalette::ToolTipBase : QPalette::Window);
    m_statusLine->setForegroundRole(warn ? QPalette::ToolTipText : QPalette::WindowText);
    m_statusLine->setAccessibleName(warn ? QStringLiteral("Status: warning") : QStringLiteral("Status"));
    setWindowTitle(warn ? QStringLiteral("\u26A0 Sorvane") : QStringLiteral("Sorvane"));
    emit problemsChanged(problems);
}
