#pragma once

#include <string>
#include <string_view>
#include <vector>

// The log reading rules applied as plainly as they read, line by line and piece by piece, to check
// the monitor's fast reader against.

// A line of the log and its end (LF, or CR LF); the last line may have none.
struct RawLine {
    std::string_view text;
    std::string_view end;
};
std::vector<RawLine> rawLines(std::string_view log);

// The run of non-blank characters that comes `index`-th (from 0) in `text`, or empty.
std::string_view nthRun(std::string_view text, int index);

// The shown text of every piece of 149 bytes whose date field (its second run) is `key`, cut
// before its first "#", skipping pieces that are empty after the cut.
std::vector<std::string> referenceLines(std::string_view log, std::string_view key);
