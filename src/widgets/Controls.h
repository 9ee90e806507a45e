// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QString>

class QPushButton;
class QWidget;

// A push button placed at `rect`, found by its caption and read out without its "&" mark.
QPushButton* makeButton(QWidget* parent, const QString& caption, const QRect& rect);
