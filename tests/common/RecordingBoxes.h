// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/MessageBoxes.h"

#include <QStringList>

#include <functional>
#include <vector>

// Records every message box instead of showing it; `onShow` lets a test look around at that moment,
// and `showTo` shows the box for real as well.
class RecordingBoxes : public MessageBoxes
{
public:
    void show(QWidget* owner, const QString& text, const QString& caption, Icon icon) override
    {
        messages << text;
        icons.push_back(icon);
        owners.push_back(owner);
        if (onShow)
            onShow(text);
        if (showTo)
            showTo->show(owner, text, caption, icon);
    }
    QStringList messages;
    std::vector<Icon> icons;
    std::vector<QWidget*> owners;
    std::function<void(const QString&)> onShow;
    MessageBoxes* showTo = nullptr;
};
