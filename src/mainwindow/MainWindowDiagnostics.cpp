// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/MainWindow.h"

#include "mainwindow/EventListModel.h"
#include "mainwindow/OnlineUserModel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>

namespace
{

// Cell texts may hold any byte; line ends and tabs are spelled out so that a row stays one line.
QByteArray escaped(QByteArray text)
{
    return text.replace('\\', "\\\\").replace('\r', "\\r").replace('\n', "\\n").replace('\t', "\\t");
}

void appendRows(QByteArray& out, const char* title, int rows, int columns,
                const std::function<QByteArray(int, int)>& cell)
{
    out += title;
    out += '\n';
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            out += column ? "\t" : "  ";
            out += escaped(cell(row, column));
        }
        out += '\n';
    }
}

} // namespace

QByteArray MainWindow::dumpViews() const
{
    QByteArray out;
    out += "SelectedServerField: " + SelectedServerField->text().toLatin1() + '\n';
    appendRows(out, "ServerList:", ServerList->count(), 1, [this](int row, int) {
        QListWidgetItem* item = ServerList->item(row);
        return item->text().toLatin1() + (item->isSelected() ? " *" : "");
    });
    appendRows(out, "GroupFilter:", GroupFilter->count(), 1, [this](int row, int) {
        return GroupFilter->itemText(row).toLatin1() + (row == GroupFilter->currentIndex() ? " *" : "");
    });
    appendRows(out, "OnlineUserList:", m_onlineUserModel->rowCount(), 6,
               [this](int row, int column) { return m_onlineUserModel->cellText(row, column); });
    appendRows(out, "EventList:", m_eventModel->rowCount(), 5,
               [this](int row, int column) { return m_eventModel->cellText(row, column); });
    out += "Status: " + statusText().toLatin1() + '\n';
    return out;
}
