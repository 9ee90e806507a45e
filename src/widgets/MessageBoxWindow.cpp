// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/MessageBoxWindow.h"

#include <QMessageBox>
#include <QPushButton>

void MessageBoxWindow::show(QWidget* owner, const QString& text, const QString& caption, Icon icon)
{
    QMessageBox box(owner);
    box.setWindowTitle(caption.isEmpty() ? QStringLiteral("Sorvane") : caption);
    box.setText(text);
    box.setIcon(icon == Icon::None ? QMessageBox::NoIcon : QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool MessageBoxWindow::ask(QWidget* owner, const QString& text, const QString& act, const QString& keep)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Sorvane"), text, QMessageBox::NoButton, owner);
    QPushButton* actButton = box.addButton(act, QMessageBox::DestructiveRole);
    QPushButton* keepButton = box.addButton(keep, QMessageBox::RejectRole);
    box.setDefaultButton(keepButton);
    box.setEscapeButton(keepButton);
    box.exec();
    return box.clickedButton() == actButton;
}
