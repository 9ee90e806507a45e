// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Monitor.h"
#include "events/EventRecord.h"
#include "events/OnlineUsers.h"
#include "widgets/MessageBoxes.h"
#include "widgets/SavePathChooser.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

class DiscoveryEndpoint;
class ElidedLabel;
class EventListModel;
class FilterField;
class HelpWindow;
class ListCommands;
class OnlineUserModel;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;
class QTableView;
class QTimer;
class RowFilterModel;

// The group filter's entry that admits every group.
constexpr char ALL_GROUPS[] = "All";

// The entries of the window menu.
enum class WindowCommand { Minimize, Close, Settings, About };

// The window's size and place (as QWidget::saveGeometry() has them) and the pixel widths of the
// lists' columns; empty for the layout's own.
struct WindowLayout {
    QByteArray geometry;
    std::vector<int> eventColumns;
    std::vector<int> onlineUserColumns;
};

struct DialogOptions {
    QByteArray userFilePath;         // absolute path of the one log file, for History
    QString storeLocation;           // the event store the monitor writes, for Sessions; empty: none
    int selectServerPeriod = 3000;   // ms; shorter only in tests
    quint64 maxEventRows = 20000000; // the event list's cap; 0 for none
    WindowLayout layout;             // as the last run left it
    QString inForce;                 // the collectors and allowed senders, for the status line's tip
};

// The monitor's one window: the server list, the online users of the chosen server and group,
// and every event received. It listens to the event pipeline and drives server discovery.
class MainWindow : public QDialog
{
    Q_OBJECT
public:
    MainWindow(const DialogOptions& options, Monitor& monitor, DiscoveryEndpoint& discovery,
               MessageBoxes& boxes, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up after construction, before the window is shown.
    void startUp();

    // The views take a batch of events that the pipeline has logged.
    void showEvents(const EventBatch& batch);
    void processEvent(const EventRecord& record);

    void AddServer(const QByteArray& server);
    void ShowOnlineUserRow(const OnlineUser& user);
    void showSelectedServer();
    void showSelectedGroup();
    void filterEvents();
    void filterOnlineUsers();
    void exportEvents();
    void exportOnlineUsers();

    bool StartAutoDetection();
    void refreshServerList();
    void takeDiscoveryReply();
    bool CollectServerReply();
    int SendDiscoverPacket(int* error);
    int ReadDiscoveryReply(int* error);

    void runWindowCommand(WindowCommand command);
    void openHistory();
    // The Sessions window; with a valid `day`, over that date.
    void openSessions(const QDate& day = QDate());
    void openHelp();
    void closeHelp();

    const OnlineUserTable& onlineUsers() const { return m_monitor.onlineUsers().table(); }
    const EventListModel& eventModel() const { return *m_eventModel; }
    const OnlineUserModel& onlineUserModel() const { return *m_onlineUserModel; }
    QString statusText() const;
    QMenu* windowMenu() const { return m_windowMenu; }
    // Every view as text, for diagnostics.
    QByteArray dumpViews() const;
    // What the event list shows: the rows that pass the filter bar.
    const RowFilterModel& eventView() const { return *m_eventView; }
    // The size, place and column widths to remember for the next run.
    WindowLayout windowLayout() const;

    // Where "Export to CSV..." asks for the file; tests put their own chooser here.
    SavePathChooser chooseExportPath = standardSavePathChooser();

    // Ends the window at once, without the question: the session ends or the process is told to.
    void stopWithoutAsking();
    // Asks the operator before the window, and with it the monitor, ends.
    void reject() override;

    // Shows how many alerts the operator has not seen on the Alerts button: "Alerts (3)".
    void setUnseenAlerts(int count);

    // What parts beside the window and the monitor add to its status line (the notifier's conditions).
    std::function<void(StatusReport&)> extraStatus;

public slots:
    // Shows the status line anew, for a change that comes from outside the window.
    void refreshStatus() { updateStatus(); }

signals:
    void discoverySocketMessage();
    // The window menu's "&About Sorvane..." entry; the application shows its About window.
    void aboutRequested();
    // The window menu's "&Settings..." entry.
    void settingsRequested();
    // The Alerts button; the application shows its Alerts window.
    void alertsRequested();
    // What keeps the monitor from working as it should (not receiving, a collector failing, the log
    // not written), one a line; empty once all is well again.
    void problemsChanged(const QStringList& problems);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createControls();
    void createMenus();
    int menuBarHeight() const;
    void routeMessages();
    void createColumns();
    void restoreLayout(const WindowLayout& layout);
    void place(QWidget* widget, const QRect& base, int grows);
    void layOut();
    void updateEventCount();
    void rebuildForSelectedServer();
    void fillOnlineUsers(bool addGroups);
    void addGroup(const QByteArray& group);
    QByteArray selectedServer() const;
    QByteArray selectedGroup() const;
    void removeOnlineRow(const QByteArray& address);
    void showOnlineChange(const OnlineChange& change);
    void updateStatus();
    void addWindowStatus(StatusReport& report) const;

    DialogOptions m_options;
    Monitor& m_monitor;
    EventIntake& m_intake;
    DiscoveryEndpoint& m_discovery;
    MessageBoxes& m_boxes;

    QLineEdit* SelectedServerField = nullptr;
    QListWidget* ServerList = nullptr;
    QComboBox* GroupFilter = nullptr;
    QTableView* EventList = nullptr;
    QTableView* OnlineUserList = nullptr;
    FilterField* OnlineUserFilter = nullptr;
    FilterField* EventFilter = nullptr;
    QComboBox* EventKindFilter = nullptr;
    ElidedLabel* m_eventCount = nullptr;
    QGroupBox* m_onlineFrame = nullptr;
    QPushButton* m_closeButton = nullptr;
    QPushButton* m_helpButton = nullptr;
    QPushButton* m_refreshButton = nullptr;
    QPushButton* m_historyButton = nullptr;
    QPushButton* m_alertsButton = nullptr;
    ElidedLabel* m_statusLine = nullptr;
    QLabel* m_statusIcon = nullptr; // shown while something is wrong
    QStringList m_problems;
    QMenu* m_windowMenu = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QTimer* m_selectServerTimer = nullptr;
    QIcon m_icon;

    EventListModel* m_eventModel = nullptr;
    OnlineUserModel* m_onlineUserModel = nullptr;
    RowFilterModel* m_eventView = nullptr;
    RowFilterModel* m_onlineUserView = nullptr;
    ListCommands* m_eventCommands = nullptr;
    ListCommands* m_onlineUserCommands = nullptr;

    // How a control follows a window larger than its first size: the extra width, and the extra height
    // of the upper part (a third) or the lower part (the rest), moves or widens it.
    enum Grow {
        Fixed = 0,
        MoveRight = 1,
        Wider = 2,
        MoveDownUpper = 4,
        TallerUpper = 8,
        MoveDownAll = 16,
        TallerLower = 32
    };
    // Where each control sits at the first size, and how it follows a larger window.
    struct Placement {
        QWidget* widget;
        QRect base;
        int grows; // Grow flags
    };
    std::vector<Placement> m_placements;
    QSize m_baseSize;
    std::unordered_set<QByteArray> m_listedServers;
    std::unique_ptr<HelpWindow> m_helpWindow;

    // The server whose users OnlineUserList was last rebuilt for; none before the first rebuild.
    std::optional<QByteArray> m_rebuiltServer;
    bool m_askBeforeStop = true;
};
