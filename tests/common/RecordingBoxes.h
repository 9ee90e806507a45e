// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/MessageBoxes.h"

#include <QStringList>

#include <functional>

// Records every message box instead of showing it; `onShow` lets a test look around at that moment.
class RecordingBoxes : public MessageBoxes
{
public:
    void show(QWidget*, const QString& text, const QString&, Icon) override
    {
        messages << text;
        if (onShow)
            onShow(text);
    }
    bool ask(QWidget*, const QString& text, const QString& act, const QString&) override
    {
        questions << text;
        return answer == act;
    }
    QStringList messages, questions;
    QString answer = QStringLiteral("Stop"); // what every question is answered
    std::function<void(const QString&)> onShow;
};
