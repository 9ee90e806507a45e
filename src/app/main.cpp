#include "app/Sorvane.h"
#include "maindlg/MessageBoxWindow.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int g_signalPipe[2] = {-1, -1};

void onTerminate(int)
{
    const char byte = 1;
    (void)!::write(g_signalPipe[1], &byte, 1);
}

// A session that ends, or a kill, closes the window as the operator would, rather than cutting
// the process off.
void closeWindowsOnTermination()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {
    };
    action.sa_handler = onTerminate;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte;
        while (::read(g_signalPipe[0], &byte, 1) > 0) {
        }
        QApplication::closeAllWindows();
    });
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    AppSettings settings;
    const int exitCode = parseCommandLine(QApplication::arguments(), settings);
    if (exitCode >= 0)
        return exitCode;
    closeWindowsOnTermination();
    MessageBoxWindow boxes;
    CSorvaneApp theApp(settings, boxes);
    theApp.InitInstance();
    return 0;
}
