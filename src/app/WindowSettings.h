// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "mainwindow/MainWindow.h"

#include <QString>
#include <QStringList>

class QSettings;

// The main window's size, place and column widths as the settings file keeps them, in its
// [window] group. Values that make no sense are reported on standard error and left out.
void readWindowLayout(const QSettings& file, WindowLayout& layout);

// The keys that readWindowLayout knows.
QStringList windowLayoutKeys();
// Writes the layout into the settings file at `path`, keeping its other settings; false (with a
// word on standard error) when the file cannot be written.
bool saveWindowLayout(const QString& path, const WindowLayout& layout);
