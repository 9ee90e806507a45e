// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

class MessageBoxes;
class QWidget;

// Asks the operator where to save: over `owner`, with a caption, a suggested file name and a
// file-type filter. Empty when the operator cancels. Tests put a function of their own here.
using SavePathChooser = std::function<QString(QWidget* owner, const QString& caption,
                                              const QString& suggestedName, const QString& filter)>;

// The standard file dialog.
SavePathChooser standardSavePathChooser();

// Asks for a path with `choose`, then writes through `write` (which returns the system's reason
// for a failure, or nothing); a failure is shown in a box over `owner`.
void saveWithChooser(QWidget* owner, MessageBoxes& boxes, const SavePathChooser& choose,
                     const QString& caption, const QString& suggestedName, const QString& filter,
                     const std::function<QString(const QString& path)>& write);
