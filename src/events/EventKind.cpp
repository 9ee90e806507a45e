// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/EventKind.h"

#include "events/EventRecord.h"

#include <array>

namespace
{

constexpr EventKind KIND_OF_CODE[EVENT_CODE_COUNT] = {
    EventKind::LogOnOff,          // LoggedOn
    EventKind::LogOnOff,          // LoggedOff
    EventKind::LockedOrDisabled,  // AccountLockedUp
    EventKind::FailedAttempt,     // TryingInvalidUserNames
    EventKind::FailedAttempt,     // TryingInvalidPasswords
    EventKind::LockedOrDisabled,  // AccountIsDisabled
    EventKind::FirewallReboot,    // FirewallRebooted
    EventKind::FilteredSite,      // AccessingFilteredSites
    EventKind::LockedOrDisabled,  // AccountMarkedForLockUp
    EventKind::AccessTimeExpired, // AccessTimeExpired
};

constexpr const char* KIND_NAMES[EVENT_KIND_COUNT] = {
    "Log-ons and log-offs", "Failed attempts",     "Locked or disabled accounts",
    "Filtered sites",       "Access time expired", "Firewall reboots",
    "Other events"};

} // namespace

const char* eventKindName(EventKind kind)
{
    return KIND_NAMES[static_cast<int>(kind)];
}

EventKind eventKindOfCode(quint32 code)
{
    return code < EVENT_CODE_COUNT ? KIND_OF_CODE[code] : EventKind::Other;
}

EventKind eventKindOfKeyword(std::string_view keyword)
{
    // Runs for every line that History lists: the lengths first, so most keywords cost one compare.
    static const std::array<std::string_view, EVENT_CODE_COUNT> KEYWORDS = [] {
        std::array<std::string_view, EVENT_CODE_COUNT> keywords;
        for (quint32 code = 0; code < EVENT_CODE_COUNT; ++code)
            keywords[code] = EventKeywordTable[code];
        return keywords;
    }();
    for (quint32 code = 0; code < EVENT_CODE_COUNT; ++code) {
        if (keyword.size() == KEYWORDS[code].size() && keyword == KEYWORDS[code])
            return KIND_OF_CODE[code];
    }
    return EventKind::Other;
}
