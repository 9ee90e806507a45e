// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <string_view>

// The kinds an operator sorts events by: several codes make one kind, and codes past the table
// are of none (Other).
enum class EventKind {
    LogOnOff,
    FailedAttempt,
    LockedOrDisabled,
    FilteredSite,
    AccessTimeExpired,
    FirewallReboot,
    Other
};
constexpr int EVENT_KIND_COUNT = int(EventKind::Other) + 1;

// "Log-ons and log-offs", "Failed attempts", ...; "Other events" for Other.
const char* eventKindName(EventKind kind);

EventKind eventKindOfCode(quint32 code);

// The kind whose log keyword is `keyword` (as the log writer spells it); Other for any other text.
EventKind eventKindOfKeyword(std::string_view keyword);

// A set of kinds, one bit each.
using EventKindSet = quint32;
constexpr EventKindSet ALL_EVENT_KINDS = (1u << EVENT_KIND_COUNT) - 1;
constexpr EventKindSet kindBit(EventKind kind)
{
    return 1u << static_cast<int>(kind);
}
