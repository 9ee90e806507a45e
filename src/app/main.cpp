// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"
#include "app/Headless.h"
#include "app/StoreCommands.h"
#include "widgets/MessageBoxWindow.h"

#include "SorvaneVersion.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <memory>
#include <unistd.h>

namespace
{

int g_signalPipe[2] = {-1, -1};

void onTerminate(int)
{
    const char byte = 1;
    (void)!::write(g_signalPipe[1], &byte, 1);
}

// A session that ends, or a kill, ends the monitor as the operator would (the window closes, the
// headless monitor writes and forwards what waits), rather than cutting the process off.
void onTermination(std::initializer_list<int> terminating, std::function<void()> end)
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {
    };
    action.sa_handler = onTerminate;
    for (const int signal : terminating)
        ::sigaction(signal, &action, nullptr);
    // The core application object: qApp would cast it to a QApplication, which the headless one is not.
    QCoreApplication* app = QCoreApplication::instance();
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [end = std::move(end)] {
        char byte;
        while (::read(g_signalPipe[0], &byte, 1) > 0) {
        }
        end();
    });
}

// The arguments without the display options that QApplication takes for itself.
QStringList withoutDisplayOptions(QStringList arguments)
{
    static const QStringList takesValue = {
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
        QStringLiteral("display"),         QStringLiteral("geometry"),
        QStringLiteral("style"),           QStringLiteral("stylesheet")};
    static const QStringList alone = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                      QStringLiteral("nograb"), QStringLiteral("dograb"),
                                      QStringLiteral("sync")};
    for (int i = 1; i < arguments.size();) {
        QString name = arguments[i];
        while (name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        if (!arguments[i].startsWith(QLatin1Char('-')))
            ++i;
        else if (takesValue.contains(name))
            arguments.remove(i, std::min<qsizetype>(2, arguments.size() - i));
        else if (alone.contains(name))
            arguments.remove(i);
        else
            ++i;
    }
    return arguments;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Sorvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SORVANE_VERSION));
    AppSettings settings;
    {
        // The options first, with no display: --help and --version work anywhere.
        QCoreApplication core(argc, argv);
        if (const int code = runStoreCommand(QCoreApplication::arguments()); code >= 0)
            return code;
        const int exitCode = parseCommandLine(withoutDisplayOptions(QCoreApplication::arguments()), settings);
        if (exitCode >= 0)
            return exitCode;
    }
    if (settings.headless) {
        // A core application only: no display, no platform plugin.
        QCoreApplication core(argc, argv);
        HeadlessMonitor monitor(settings);
        onTermination({SIGTERM, SIGINT}, [&monitor] { monitor.stop(); });
        if (!monitor.start())
            return 1;
        return QCoreApplication::exec();
    }
    MessageBoxWindow boxes;
    auto theApp = std::make_unique<Application>(settings, boxes);
    // Bound and without privilege before the display's threads exist.
    theApp->bindEventPort();
    QApplication app(argc, argv);
    onTermination({SIGTERM, SIGINT, SIGHUP}, [&theApp] { theApp->stop(); });
    theApp->run();
    theApp.reset(); // its sockets and notifiers go while the application object still exists
    return 0;
}
