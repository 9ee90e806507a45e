// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"
#include "core/Monitor.h"
#include "forward/ForwardTarget.h"
#include "mainwindow/MainWindow.h"
#include "metrics/MetricsServer.h"
#include "net/Endpoint.h"
#include "widgets/MessageBoxes.h"

#include <QMap>
#include <QStringList>

#include <functional>
#include <memory>

// What the command line and the settings file chose; without either, a real firewall network's
// defaults.
struct AppSettings {
    EndpointSettings endpoints;
    DialogOptions dialog;
    QByteArray dumpViewsPath;         // diagnostic: the views as text, rewritten as they change
    ForwardOptions forward;           // the collectors every event goes on to
    StoreOptions store;               // the event store: by default beside the log, PATH.db
    bool headless = false;            // no window, no display, no discovery
    AlertOptions alerts;              // the rules, thresholds and notifications
    AlertCommandOptions alertCommand; // the command each alert runs, if any
    QString metrics;                  // ADDRESS:PORT that serves Prometheus metrics; empty: none
    // The settings file that keeps the window's layout when it closes; empty when there is none to
    // write (it could not be read, or held nonsense).
    QString settingsPath;
};

// Reads the command line, and the settings file it names with --settings (by default
// ~/.config/sorvane/sorvane.conf), into `settings`; an option on the command line wins over the
// same setting in the file. Returns -1 to go on, or the exit code after --help, --version or an
// error (printed): a settings file that exists and cannot be read, or an option in it that makes no
// sense, stops the start (2); unknown keys are named on standard error. The window's layout from the
// last run is read there too. Needs no display.
int parseCommandLine(const QStringList& arguments, AppSettings& settings);
// Checks option values as the start would take them from the settings file (`values` by option
// name, as the file holds them; none for a key it would not hold): the complaint the start would
// print, naming the option by `where`, and its name in `key`; empty when they would all do.
QString checkSettingValues(const QMap<QString, QStringList>& values, const QMap<QString, QString>& where,
                           QString& key);

// The collectors and the allowed senders in force, for the operator to check at start.
QString inForceText(const AppSettings& settings);

// What the monitor's pipeline is built from; `besideWindow`: its outputs yield the processor to
// the window.
MonitorOptions monitorOptions(const AppSettings& settings, bool besideWindow = false);

// The application: runs the main window, with the monitor it shows and the server discovery it
// drives, until it closes.
class Application
{
public:
    Application(const AppSettings& settings, MessageBoxes& boxes);
    ~Application();

    // Binds the event port, the one step that may need the port privilege, then gives up every
    // privilege. Call it before the application object exists: a thread keeps the capabilities it
    // was started with, and the display's threads start with the application object.
    void bindEventPort();
    // Runs the window until it closes, then ends the monitor. Binds the event port first unless
    // bindEventPort() did.
    void run();
    // Ends the run without asking the operator: the session ends, or a signal says so.
    void stop();

    // Runs with the window after its start-up, instead of the modal run (tests).
    std::function<void(MainWindow&)> runWindow;
    // The host-name steps of discovery (tests may replace them).
    HostLookup hostLookup = HostLookup::system();

private:
    AppSettings m_settings;
    MessageBoxes& m_boxes;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<MetricsServer> m_metrics; // gone before the monitor it reads
    MainWindow* m_window = nullptr;           // while run() shows it
};
