// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/MessageBoxWindow.h"

#include <QMessageBox>

void MessageBoxWindow::show(QWidget* owner, const QString& text, const QString& caption, Icon icon)
{
    QMessageBox box(owner);
    box.setWindowTitle(caption.isEmpty() ? QStringLiteral("Sorvane") : caption);
    box.setText(text);
    box.setIcon(icon == Icon::None ? QMessageBox::NoIcon : QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
