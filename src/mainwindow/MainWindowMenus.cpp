// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include <QMenuBar>

namespace
{

QAction* addCommand(QMenu* menu, const QString& text, const QKeySequence& keys)
{
    QAction* action = menu->addAction(text);
    action->setShortcut(keys);
    return action;
}

} // namespace

// Every command of the window in one menu bar, each with its key, where a Linux user looks first.
void MainWindow::createMenus()
{
    m_menuBar = new QMenuBar(this);
    m_menuBar->setObjectName(QStringLiteral("MenuBar"));
    m_menuBar->setAccessibleName(QStringLiteral("Menu bar"));
    QMenu* file = m_menuBar->addMenu(QStringLiteral("&File"));
    connect(addCommand(file, QStringLiteral("&Export Events to CSV..."), Qt::CTRL | Qt::Key_E),
            &QAction::triggered, this, &MainWindow::exportEvents);
    connect(
        addCommand(file, QStringLiteral("Export &Online Users to CSV..."), Qt::CTRL | Qt::SHIFT | Qt::Key_E),
        &QAction::triggered, this, &MainWindow::exportOnlineUsers);
    file->addSeparator();
    connect(addCommand(file, QStringLiteral("&Quit"), Qt::CTRL | Qt::Key_Q), &QAction::triggered, this,
            &MainWindow::reject);
    QMenu* view = m_menuBar->addMenu(QStringLiteral("&View"));
    connect(addCommand(view, QStringLiteral("&History..."), Qt::CTRL | Qt::Key_H), &QAction::triggered, this,
            &MainWindow::openHistory);
    connect(addCommand(view, QStringLiteral("&Sessions..."), Qt::CTRL | Qt::SHIFT | Qt::Key_H),
            &QAction::triggered, this, [this] { openSessions(); });
    connect(addCommand(view, QStringLiteral("&Alerts"), Qt::CTRL | Qt::Key_L), &QAction::triggered, this,
            &MainWindow::alertsRequested);
    connect(addCommand(view, QStringLiteral("&Refresh Server List"), Qt::Key_F5), &QAction::triggered, this,
            &MainWindow::refreshServerList);
    QMenu* settings = m_menuBar->addMenu(QStringLiteral("&Settings"));
    connect(addCommand(settings, QStringLiteral("&Settings..."), Qt::CTRL | Qt::Key_Comma),
            &QAction::triggered, this, &MainWindow::settingsRequested);
    QMenu* help = m_menuBar->addMenu(QStringLiteral("&Help"));
    connect(addCommand(help, QStringLiteral("Sorvane &Help"), Qt::Key_F1), &QAction::triggered, this,
            &MainWindow::openHelp);
    connect(help->addAction(QStringLiteral("&About Sorvane...")), &QAction::triggered, this,
            &MainWindow::aboutRequested);
}

int MainWindow::menuBarHeight() const
{
    return m_menuBar->isNativeMenuBar() ? 0 : m_menuBar->sizeHint().height();
}
