// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>

// A text field that narrows a list as the operator types. Enter does nothing here, and Escape
// clears the field; only when it is already empty does Escape go on to end the window.
class FilterField : public QLineEdit
{
public:
    FilterField(const QString& accessibleName, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
