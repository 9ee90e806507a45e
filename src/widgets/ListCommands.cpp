// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/ListCommands.h"

#include "widgets/ViewText.h"

#include <QAbstractItemView>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>

ListCommands::ListCommands(QAbstractItemView* view, const QString& exportText, std::function<void()> onExport)
    : QObject(view), m_view(view), m_menu(new QMenu(view))
{
    QAction* copyAction = m_menu->addAction(QStringLiteral("&Copy"));
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutVisibleInContextMenu(true);
    // The list itself handles the keys, only while it has the focus.
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    QAction* exportAction = m_menu->addAction(exportText);
    connect(copyAction, &QAction::triggered, this, [this] { copy(); });
    connect(exportAction, &QAction::triggered, this, std::move(onExport));

    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popup(m_view->viewport()->mapToGlobal(pos)); });
    view->installEventFilter(this);
}

void ListCommands::copy() const
{
    QGuiApplication::clipboard()->setText(selectedRowsAsText(*m_view));
}

void ListCommands::popup(const QPoint& globalPos)
{
    if (!m_menu->isVisible())
        m_menu->popup(globalPos);
}

bool ListCommands::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_view || event->type() != QEvent::KeyPress)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Copy)) {
        copy();
        return true;
    }
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if ((key->key() == Qt::Key_Menu && modifiers == Qt::NoModifier) ||
        (key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier)) {
        // Below the current row, where the operator's eyes are; the list's corner without one.
        QPoint at(0, 0);
        const QRect current = m_view->visualRect(m_view->currentIndex());
        if (current.isValid() && m_view->viewport()->rect().intersects(current))
            at = QPoint(current.left(), current.bottom());
        popup(m_view->viewport()->mapToGlobal(at));
        return true;
    }
    return false;
}
