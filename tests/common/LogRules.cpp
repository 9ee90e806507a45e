// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/LogRules.h"

namespace
{

constexpr std::size_t PIECE = 149;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A line of the log and its end (LF, or CR LF); the last line may have none.
struct RawLine {
    std::string_view text;
    std::string_view end;
};

std::vector<RawLine> rawLines(std::string_view log)
{
    std::vector<RawLine> out;
    std::size_t pos = 0;
    while (pos < log.size()) {
        const std::size_t lf = log.find('\n', pos);
        if (lf == std::string_view::npos) {
            out.push_back({log.substr(pos), {}});
            break;
        }
        const std::size_t endStart = lf > pos && log[lf - 1] == '\r' ? lf - 1 : lf;
        out.push_back({log.substr(pos, endStart - pos), log.substr(endStart, lf + 1 - endStart)});
        pos = lf + 1;
    }
    return out;
}

// The run of non-blank characters that comes `index`-th (from 0) in `text`, or empty.
std::string_view nthRun(std::string_view text, int index)
{
    std::size_t i = 0;
    for (int run = 0;; ++run) {
        while (i < text.size() && isBlank(text[i]))
            ++i;
        if (i == text.size())
            return {};
        const std::size_t start = i;
        while (i < text.size() && !isBlank(text[i]))
            ++i;
        if (run == index)
            return text.substr(start, i - start);
    }
}

} // namespace

std::vector<std::string> referenceLines(std::string_view log, std::string_view key)
{
    std::vector<std::string> out;
    for (const RawLine& line : rawLines(log)) {
        std::size_t at = 0;
        do {
            const std::string_view piece = line.text.substr(at, PIECE);
            at += piece.size();
            const std::string_view date = nthRun(piece, 1);
            const std::string_view shown = piece.substr(0, piece.find('#'));
            if (!shown.empty() && !date.empty() && date == key)
                out.emplace_back(shown);
        } while (at < line.text.size());
    }
    return out;
}
