// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/MessageBoxes.h"

// Message boxes as the operator sees them: modal over their owner, with an OK button.
class MessageBoxWindow : public MessageBoxes
{
public:
    void show(QWidget* owner, const QString& text, const QString& caption, Icon icon) override;
    bool ask(QWidget* owner, const QString& text, const QString& act, const QString& keep) override;
};
