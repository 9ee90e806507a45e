#pragma once

#include "events/MessageBoxes.h"
#include "maindlg/SorvaneDlg.h"

#include <QStringList>

#include <functional>

// What the command line chose; without options, a real firewall network's defaults.
struct AppSettings {
    DialogOptions dialog;
    QByteArray dumpViewsPath; // diagnostic: the views as text, rewritten as they change
};

// Parses the command line into `settings` and the endpoint settings. Returns -1 to go on, or the
// exit code after --help, --version or an error (printed).
int parseCommandLine(const QStringList& arguments, AppSettings& settings);

// The application: checks that the system can give it a datagram socket, then runs the main
// window until it closes.
class CSorvaneApp
{
public:
    CSorvaneApp(const AppSettings& settings, MessageBoxes& boxes);

    // False when the application is to end, which is always once it returns.
    bool InitInstance();

    // Replaced in tests to stand for a system without sockets.
    std::function<bool()> socketsAvailable;
    // Runs with the window after its start-up, instead of the modal run (tests).
    std::function<void(CSorvaneDlg&)> runWindow;

private:
    AppSettings m_settings;
    MessageBoxes& m_boxes;
};
