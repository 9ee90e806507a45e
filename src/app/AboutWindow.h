// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

// "About Sorvane": the icon, the version text and OK.
class AboutWindow : public QDialog
{
    Q_OBJECT
public:
    explicit AboutWindow(const QIcon& icon, QWidget* parent = nullptr);
};
