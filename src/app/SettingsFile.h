// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"
#include "mainwindow/MainWindow.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>

class QSettings;

// The settings file (INI): the one reader of every key it may hold, and the writers of what the
// windows keep there. Options.cpp applies the command-line options' keys with the options.

// ~/.config/sorvane/sorvane.conf, or where XDG_CONFIG_HOME says.
QString defaultSettingsPath();
// The settings file, or none when there is none; false (printed) when it exists and cannot be read,
// since running on defaults would drop what the operator wrote there (allowed senders, say).
// `named`: the operator named it, so its absence is told.
bool openSettings(const QString& path, bool named, std::unique_ptr<QSettings>& file);
// Reads the window's layout and the alert settings, and names on standard error every key no
// reader knows (`optionKeys` are the command-line options'). Values that make no sense are
// reported there too and left out.
void readSettings(const QSettings& file, const QStringList& optionKeys, WindowLayout& layout,
                  AlertOptions& alerts);

// The one on/off grammar of the settings file: true/false, yes/no, on/off, 1/0. False, leaving `on`
// as it was, for any other text.
bool parseOnOff(QStringView text, bool& on);

// Write into the settings file at `path`, keeping its other settings; a file that cannot be written
// gets a word on standard error.
void saveAlertOptions(const QString& path, const AlertOptions& options);
void saveWindowLayout(const QString& path, const WindowLayout& layout);

// The values of the command-line options `keys` as the file at `path` holds them, for each it has.
QMap<QString, QStringList> readOptionValues(const QString& path, const QStringList& keys);
// Writes `values` by option name; a key with no values leaves the file.
void saveOptionValues(const QString& path, const QMap<QString, QStringList>& values);
