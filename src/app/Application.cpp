// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"

#include "app/AboutWindow.h"
#include "app/OperatorAlerts.h"
#include "app/SettingsFile.h"

#include <QApplication>
#include <QFile>
#include <QSaveFile>

#include <QTimer>
#include <cstdio>

namespace
{

void writeViews(const QByteArray& path, const QByteArray& text)
{
    QSaveFile file(QFile::decodeName(path));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(text);
        file.commit();
    }
}

// Keeps a text copy of the views at `path` while the window runs, for tests and bug reports.
void startViewDump(MainWindow& dialog, const QByteArray& path)
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

Application::Application(const AppSettings& settings, MessageBoxes& boxes)
    : m_settings(settings), m_boxes(boxes)
{
}

Application::~Application() = default;

void Application::stop()
{
    // The main window first, so that closing it asks nothing; then any window open over it.
    if (m_window)
        m_window->stopWithoutAsking();
    QApplication::closeAllWindows();
}

MonitorOptions monitorOptions(const AppSettings& settings, bool besideWindow)
{
    MonitorOptions options;
    options.endpoints = settings.endpoints;
    options.logPath = settings.dialog.userFilePath;
    options.forward = settings.forward;
    options.forward.yieldToWindow = besideWindow;
    options.alerts = settings.alerts;
    options.alertCommand = settings.alertCommand;
    options.store = settings.store;
    return options;
}

void Application::bindEventPort()
{
    if (m_monitor)
        return;
    m_monitor = std::make_unique<Monitor>(monitorOptions(m_settings, true));
    if (!m_monitor->privilegesDropped())
        std::fprintf(stderr, "sorvane: could not give up the process's capabilities\n");
}

void Application::run()
{
    bindEventPort();
    Monitor& monitor = *m_monitor;
    // Started before the window, so the events are on their way while the window shows them.
    monitor.startOutputs();
    QString metricsProblem;
    if (!m_settings.metrics.isEmpty()) {
        m_metrics = std::make_unique<MetricsServer>(monitor);
        metricsProblem = m_metrics->listen(m_settings.metrics);
    }
    DiscoveryEndpoint discovery(m_settings.endpoints, hostLookup);
    DialogOptions dialogOptions = m_settings.dialog;
    dialogOptions.inForce = inForceText(m_settings);
    dialogOptions.storeLocation = m_settings.store.path;
    MainWindow dialog(dialogOptions, monitor, discovery, m_boxes);
    OperatorAlerts alerts(dialog, monitor.rules(), m_settings.settingsPath);
    dialog.extraStatus = [&alerts, metricsProblem](StatusReport& report) {
        alerts.addConditions(report);
        if (!metricsProblem.isEmpty())
            report.addCondition(metricsProblem);
    };
    QObject::connect(&monitor, &Monitor::statusChanged, &dialog, &MainWindow::refreshStatus);
    QObject::connect(&dialog, &MainWindow::aboutRequested, &dialog, [&dialog] {
        AboutWindow about(dialog.windowIcon(), &dialog);
        about.exec();
    });
    dialog.startUp();
    m_window = &dialog;
    if (!m_settings.dumpViewsPath.isEmpty())
        startViewDump(dialog, m_settings.dumpViewsPath);
    if (runWindow)
        runWindow(dialog);
    else
        dialog.exec();
    m_window = nullptr;
    if (!m_settings.dumpViewsPath.isEmpty())
        writeViews(m_settings.dumpViewsPath, dialog.dumpViews());
    // What arrived before the close is still logged and forwarded; the closed window skips it.
    QObject::disconnect(&monitor.intake(), nullptr, &dialog, nullptr);
    monitor.onlineUsers().listener = {};
    for (const QString& line : monitor.finish())
        std::fprintf(stderr, "sorvane: %s\n", qPrintable(line));
    if (!m_settings.settingsPath.isEmpty())
        saveWindowLayout(m_settings.settingsPath, dialog.windowLayout());
}
