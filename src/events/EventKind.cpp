// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/EventKind.h"

#include "events/EventCodes.h"

#include <array>
#include <iterator>

namespace
{

constexpr const char* KIND_NAMES[] = {
    "Log-ons and log-offs", "Failed attempts",     "Locked or disabled accounts",
    "Filtered sites",       "Access time expired", "Firewall reboots",
    "Other events"};
static_assert(std::size(KIND_NAMES) == EVENT_KIND_COUNT, "a name for each kind");

} // namespace

const char* eventKindName(EventKind kind)
{
    return KIND_NAMES[static_cast<int>(kind)];
}

EventKind eventKindOfCode(quint32 code)
{
    return eventCodeInfo(code).kind;
}

EventKind eventKindOfKeyword(std::string_view keyword)
{
    // Runs for every line that History lists: the lengths first, so most keywords cost one compare.
    static constexpr std::array<std::string_view, EVENT_CODE_COUNT> KEYWORDS = [] {
        std::array<std::string_view, EVENT_CODE_COUNT> keywords;
        for (quint32 code = 0; code < EVENT_CODE_COUNT; ++code)
            keywords[code] = EVENT_CODES[code].keyword;
        return keywords;
    }();
    for (quint32 code = 0; code < EVENT_CODE_COUNT; ++code) {
        if (keyword.size() == KEYWORDS[code].size() && keyword == KEYWORDS[code])
            return EVENT_CODES[code].kind;
    }
    return EventKind::Other;
}
