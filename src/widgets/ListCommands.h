// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QAbstractItemView;
class QMenu;
class QPoint;

// The operator's commands on a list: "Copy" (also Ctrl+C) of the selected rows, and one export
// entry. Their menu opens with a right-click, the Menu key or Shift+F10.
class ListCommands : public QObject
{
    Q_OBJECT
public:
    ListCommands(QAbstractItemView* view, const QString& exportText, std::function<void()> onExport);

    QMenu* menu() const { return m_menu; }
    // The selected rows to the clipboard, as selectedRowsAsText() has them.
    void copy() const;
    // Opens the menu at `globalPos`, unless it is open already.
    void popup(const QPoint& globalPos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAbstractItemView* m_view;
    QMenu* m_menu;
};
