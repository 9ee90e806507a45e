// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/HelpWindow.h"

#include "widgets/DialogUnits.h"

#include <QKeySequence>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// The help page is compiled into a static library, whose resources register only when asked.
static void registerHelpResource()
{
    static bool registered = false;
    if (!registered) {
        Q_INIT_RESOURCE(help);
        registered = true;
    }
}

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window), m_text(new QTextBrowser(this))
{
    registerHelpResource();
    setWindowTitle(QStringLiteral("Sorvane Help"));
    m_text->setObjectName(QStringLiteral("HelpText"));
    m_text->setAccessibleName(QStringLiteral("Help"));
    m_text->setOpenExternalLinks(false);
    m_text->setSource(QUrl(QStringLiteral("qrc:/help/sorvane.html")));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_text);

    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);

    const DialogUnits du(font());
    resize(du.x(340), du.y(320));
}
