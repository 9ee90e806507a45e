#pragma once

#include "events/MessageBoxes.h"

class QWidget;

// Message boxes as the operator sees them: modal, with an OK button, owned by a window.
class MessageBoxWindow : public MessageBoxes
{
public:
    explicit MessageBoxWindow(QWidget* owner = nullptr) : m_owner(owner) {}
    void setOwner(QWidget* owner) { m_owner = owner; }
    void show(const QString& text, const QString& caption, Icon icon) override;

private:
    QWidget* m_owner;
};
