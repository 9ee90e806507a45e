#pragma once

#include <QString>

// The one way any part of the monitor shows the operator a message box. The window implements it
// with real boxes; tests record the messages instead.
class MessageBoxes
{
public:
    enum class Icon { None, Stop, Critical };
    virtual ~MessageBoxes() = default;
    // An empty caption stands for the application's name.
    virtual void show(const QString& text, const QString& caption = QString(), Icon icon = Icon::None) = 0;
};
