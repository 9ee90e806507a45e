#include "app/Sorvane.h"

#include "app/AboutDlg.h"
#include "net/Endpoint.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

bool canCreateDatagramSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

void writeViews(const QByteArray& path, const QByteArray& text)
{
    QSaveFile file(QFile::decodeName(path));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text);
        file.commit();
    }
}

// Keeps a text copy of the views at `path` while the window runs, for tests and bug reports.
void startViewDump(CSorvaneDlg& dialog, const QByteArray& path)
{
    auto* timer = new QTimer(&dialog);
    auto last = std::make_shared<QByteArray>();
    QObject::connect(timer, &QTimer::timeout, &dialog, [&dialog, path, last] {
        const QByteArray text = dialog.dumpViews();
        if (text != *last) {
            *last = text;
            writeViews(path, text);
        }
    });
    timer->start(200);
}

} // namespace

int parseCommandLine(const QStringList& arguments, AppSettings& settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Monitors the user-access events of the firewall servers on the local network."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption eventPort(QStringLiteral("event-port"),
                                       QStringLiteral("UDP port on which events arrive (default 1023)."),
                                       QStringLiteral("N"));
    const QCommandLineOption target(
        QStringLiteral("discovery-target"),
        QStringLiteral("Where the server discovery request goes (default 255.255.255.255:1019)."),
        QStringLiteral("ADDRESS[:PORT]"));
    const QCommandLineOption logFile(
        QStringLiteral("log-file"),
        QStringLiteral("The log file (default: userfile in the current directory)."), QStringLiteral("PATH"));
    const QCommandLineOption dump(
        QStringLiteral("dump-views"),
        QStringLiteral("Keep a text copy of the window's views in PATH (diagnostics)."),
        QStringLiteral("PATH"));
    const QCommandLineOption maxRows(
        QStringLiteral("max-event-rows"),
        QStringLiteral(
            "Most events the list shows; older ones stay in the log (default 20000000, 0 for no cap)."),
        QStringLiteral("N"));
    parser.addOptions({eventPort, target, logFile, maxRows, dump});
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "sorvane: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::puts("Sorvane Version 1.0");
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "sorvane: unexpected argument: %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet(eventPort)) {
        bool ok = false;
        const uint port = parser.value(eventPort).toUInt(&ok);
        if (!ok || port == 0 || port > 65535) {
            std::fprintf(stderr, "sorvane: --event-port needs a port from 1 to 65535, not \"%s\"\n",
                         qPrintable(parser.value(eventPort)));
            return 2;
        }
        g_endpointSettings.eventPort = static_cast<quint16>(port);
    }
    if (parser.isSet(target) && !parseDiscoveryTarget(parser.value(target), g_endpointSettings)) {
        std::fprintf(stderr, "sorvane: --discovery-target needs an IPv4 ADDRESS[:PORT], not \"%s\"\n",
                     qPrintable(parser.value(target)));
        return 2;
    }
    if (parser.isSet(maxRows)) {
        bool ok = false;
        settings.dialog.maxEventRows = parser.value(maxRows).toULongLong(&ok);
        if (!ok || !parser.value(maxRows).at(0).isDigit()) {
            std::fprintf(stderr, "sorvane: --max-event-rows needs a whole number, not \"%s\"\n",
                         qPrintable(parser.value(maxRows)));
            return 2;
        }
    }
    const QString log = parser.isSet(logFile) ? parser.value(logFile) : QStringLiteral("userfile");
    settings.dialog.userFilePath = QFile::encodeName(QFileInfo(log).absoluteFilePath());
    if (parser.isSet(dump))
        settings.dumpViewsPath = QFile::encodeName(QFileInfo(parser.value(dump)).absoluteFilePath());
    return -1;
}

CSorvaneApp::CSorvaneApp(const AppSettings& settings, MessageBoxes& boxes)
    : socketsAvailable(canCreateDatagramSocket), m_settings(settings), m_boxes(boxes)
{
}

bool CSorvaneApp::InitInstance()
{
    if (!socketsAvailable()) {
        m_boxes.show(nullptr, QStringLiteral("Windows sockets initialization failed."));
        return false;
    }
    CSorvaneDlg dialog(m_settings.dialog, m_boxes);
    QObject::connect(&dialog, &CSorvaneDlg::aboutRequested, &dialog, [&dialog] {
        CAboutDlg about(dialog.windowIcon(), &dialog);
        about.exec();
    });
    dialog.OnInitDialog();
    if (!m_settings.dumpViewsPath.isEmpty())
        startViewDump(dialog, m_settings.dumpViewsPath);
    if (runWindow)
        runWindow(dialog);
    else
        dialog.exec();
    if (!m_settings.dumpViewsPath.isEmpty())
        writeViews(m_settings.dumpViewsPath, dialog.dumpViews());
    return false;
}
