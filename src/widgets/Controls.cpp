// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/Controls.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableView>

QPushButton* makeButton(QWidget* parent, const QString& caption, const QRect& rect)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(caption);
    button->setAccessibleName(QString(caption).remove(QLatin1Char('&')));
    button->setGeometry(rect);
    return button;
}

QTableView* makeListView(QWidget* parent, QAbstractItemModel* model, const QString& name)
{
    auto* view = new QTableView(parent);
    view->setObjectName(name);
    view->setModel(model);
    view->setShowGrid(false);
    view->setWordWrap(false);
    // Whole rows, several at once, since Copy copies rows; a right-click selects its row too.
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    // One fixed row height keeps insertion and layout cheap at a million rows.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 2);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // A window grown wider gives the spare width to the last column.
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}
