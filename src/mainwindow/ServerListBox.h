// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QListWidget>

// A single-selection list the operator cannot empty: a click or key moves the selection, but
// Ctrl+click, Ctrl+Space or a click below the items never takes it away.
class ServerListBox : public QListWidget
{
public:
    using QListWidget::QListWidget;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override
    {
        Q_UNUSED(event);
        return index.isValid() ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate;
    }
};
