#include "app/Sorvane.h"

#include "app/AboutDlg.h"
#include "app/WindowSettings.h"

#include <QFile>
#include <QSaveFile>
#include <QTimer>

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
    IntakeOptions intakeOptions;
    intakeOptions.endpoint = m_settings.endpoints;
    intakeOptions.logPath = m_settings.dialog.userFilePath;
    EventIntake intake(intakeOptions);
    DiscoveryEndpoint discovery(m_settings.endpoints, hostLookup);
    CSorvaneDlg dialog(m_settings.dialog, intake, discovery, m_boxes);
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
    if (!m_settings.settingsPath.isEmpty())
        saveWindowLayout(m_settings.settingsPath, dialog.windowLayout());
    return false;
}
