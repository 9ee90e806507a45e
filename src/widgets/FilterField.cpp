// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/FilterField.h"

#include <QKeyEvent>

FilterField::FilterField(const QString& accessibleName, QWidget* parent) : QLineEdit(parent)
{
    setAccessibleName(accessibleName);
    setPlaceholderText(accessibleName);
    setClearButtonEnabled(true);
}

void FilterField::keyPressEvent(QKeyEvent* event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        event->accept();
        return;
    }
    if (plain && event->key() == Qt::Key_Escape && !text().isEmpty()) {
        clear();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}
