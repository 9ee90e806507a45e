// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

// Runs `sorvane import`, `sorvane sessions` or `sorvane events` with the rest of `arguments`; no
// display is needed. Returns the exit code, or -1 when the first argument names none of them.
int runStoreCommand(const QStringList& arguments);
