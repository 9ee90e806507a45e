// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QWidget;

// The one way any part of the monitor shows the operator a message box. The window implements it
// with real boxes; tests record the messages instead.
class MessageBoxes
{
public:
    enum class Icon { None, Stop, Critical };
    virtual ~MessageBoxes() = default;
    // The box sits over `owner` (none only before any window exists); an empty caption stands for
    // the application's name.
    virtual void show(QWidget* owner, const QString& text, const QString& caption = QString(),
                      Icon icon = Icon::None) = 0;
    // Asks whether to `act`; the other answer, `keep`, is the default. True for `act`; where nobody
    // can answer, the default.
    virtual bool ask(QWidget*, const QString&, const QString& /*act*/, const QString& /*keep*/)
    {
        return false;
    }
};
