// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/Controls.h"

#include <QPushButton>

QPushButton* makeButton(QWidget* parent, const QString& caption, const QRect& rect)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(caption);
    button->setAccessibleName(QString(caption).remove(QLatin1Char('&')));
    button->setGeometry(rect);
    return button;
}
