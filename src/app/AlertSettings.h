// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "alerts/AlertRules.h"

#include <QString>
#include <QStringList>

class QSettings;

// The alert rules, thresholds and notifications as the settings file keeps them, in its [alerts]
// group. Values that make no sense are reported on standard error and left out.
void readAlertOptions(const QSettings& file, AlertOptions& options);

// The keys that readAlertOptions knows.
QStringList alertOptionKeys();
// Writes them into the settings file at `path`, keeping its other settings; false (with a word on
// standard error) when the file cannot be written.
bool saveAlertOptions(const QString& path, const AlertOptions& options);
