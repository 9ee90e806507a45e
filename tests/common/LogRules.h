// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The log reading rules applied as plainly as they read, line by line and piece by piece, to check
// the monitor's fast reader against.

// The shown text of every piece of 149 bytes whose date field (its second run) is `key`, cut
// before its first "#", skipping pieces that are empty after the cut.
std::vector<std::string> referenceLines(std::string_view log, std::string_view key);
