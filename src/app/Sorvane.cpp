// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Sorvane.h"

#include "app/AboutDlg.h"
#include "app/AlertForwarding.h"
#include "app/OperatorAlerts.h"
#include "app/Privileges.h"
#include "app/WindowSettings.h"
#include "forward/Forwarder.h"

#include <QFile>
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

CSorvaneApp::CSorvaneApp(const AppSettings& settings, MessageBoxes& boxes)
    : socketsAvailable(canCreateDatagramSocket), m_settings(settings), m_boxes(boxes)
{
}

CSorvaneApp::~CSorvaneApp() = default;

void CSorvaneApp::bindEventPort()
{
    if (m_intake)
        return;
    IntakeOptions intakeOptions;
    intakeOptions.endpoint = m_settings.endpoints;
    intakeOptions.logPath = m_settings.dialog.userFilePath;
    m_intake = std::make_unique<EventIntake>(intakeOptions);
    m_intake->bind();
    if (dropCapabilities() != 0)
        std::fprintf(stderr, "sorvane: could not give up the process's capabilities\n");
}

bool CSorvaneApp::InitInstance()
{
    if (!socketsAvailable()) {
        m_boxes.show(nullptr, QStringLiteral("Windows sockets initialization failed."));
        return false;
    }
    bindEventPort();
    EventIntake& intake = *m_intake;
    // Connected before the window, so the events are on their way while the window shows them.
    ForwardOptions forwarding = m_settings.forward;
    forwarding.yieldToWindow = true;
    Forwarder forwarder(forwarding);
    QObject::connect(&intake, &EventIntake::eventsArrived, &forwarder, &Forwarder::forwardEvents);
    AlertRules rules(m_settings.alerts);
    QObject::connect(&intake, &EventIntake::eventsArrived, &rules, &AlertRules::takeBatch);
    forwardAlerts(rules, forwarder);
    DiscoveryEndpoint discovery(m_settings.endpoints, hostLookup);
    DialogOptions dialogOptions = m_settings.dialog;
    dialogOptions.inForce = inForceText(m_settings);
    CSorvaneDlg dialog(dialogOptions, intake, discovery, m_boxes);
    OperatorAlerts alerts(dialog, rules, m_settings.settingsPath);
    dialog.extraStatus = [&forwarder, &alerts](StatusCounts& counts, QStringList& conditions) {
        forwarder.addStatus(counts, conditions);
        alerts.addConditions(conditions);
    };
    QObject::connect(&forwarder, &Forwarder::statusChanged, &dialog, &CSorvaneDlg::refreshStatus);
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
    // What arrived before the close is still logged and forwarded; the closed window skips it.
    QObject::disconnect(&intake, nullptr, &dialog, nullptr);
    intake.drain();
    forwarder.finish(FORWARD_FINISH_MS);
    for (const QString& line : forwarder.notForwardedReport())
        std::fprintf(stderr, "sorvane: %s\n", qPrintable(line));
    if (!m_settings.settingsPath.isEmpty())
        saveWindowLayout(m_settings.settingsPath, dialog.windowLayout());
    return false;
}
