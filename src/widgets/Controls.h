// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QString>

class QAbstractItemModel;
class QPushButton;
class QTableView;
class QWidget;

// A push button placed at `rect`, found by its caption and read out without its "&" mark.
QPushButton* makeButton(QWidget* parent, const QString& caption, const QRect& rect);

// A list in report mode over `model`: no grid, items selectable several at once, read-only, one
// fixed row height, no row numbers.
QTableView* makeListView(QWidget* parent, QAbstractItemModel* model, const QString& name);
