// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventKind.h"

#include <QByteArray>
#include <QtGlobal>

#include <iterator>
#include <optional>

// The codes a firewall sends. A new code is a name here and a row in EVENT_CODES below.
enum EventCodes : quint32 {
    LoggedOn,
    LoggedOff,
    AccountLockedUp,
    TryingInvalidUserNames,
    TryingInvalidPasswords,
    AccountIsDisabled,
    FirewallRebooted,
    AccessingFilteredSites,
    AccountMarkedForLockUp,
    AccessTimeExpired,
    EVENT_CODE_COUNT
};

// Syslog severities the monitor uses (RFC 5424, 6.2.1).
enum class Severity : int { Warning = 4, Notice = 5, Informational = 6 };

// What an event does to the users known to be online.
enum class OnlineEffect {
    AddsOrRefreshes, // the user is online, with this event's details
    Removes,         // the user at that address is gone
    RemovesServer,   // every user of the reporting server is gone
    None
};

// What an alert is about; each rule can be turned off on its own.
enum class AlertRule {
    AccountLocked,
    MarkedForLockUp,
    AccountDisabled,
    FirewallRebooted,
    FilteredSite,
    PasswordGuessing,
    UserNameGuessing
};
constexpr int ALERT_RULE_COUNT = int(AlertRule::UserNameGuessing) + 1;

// How the event list marks a row; the window picks the colours, and Help's legend names them.
enum class ListColour { Plain, Red, Amber, Blue };

struct EventCodeInfo {
    quint32 code;
    const char* keyword; // in the log and as the syslog MSGID
    const char* message; // the event list's text; it starts with a blank
    EventKind kind;
    Severity severity;
    OnlineEffect online;
    std::optional<AlertRule> alert;
    ListColour colour;
};

// Indexed by code. The misspelt "Accesing" is the text operators know.
inline constexpr EventCodeInfo EVENT_CODES[] = {
    {LoggedOn, "LoggedOn", " Logged on", EventKind::LogOnOff, Severity::Informational,
     OnlineEffect::AddsOrRefreshes, std::nullopt, ListColour::Plain},
    {LoggedOff, "LoggedOff", " Logged off", EventKind::LogOnOff, Severity::Informational,
     OnlineEffect::Removes, std::nullopt, ListColour::Plain},
    {AccountLockedUp, "AccountLockedUp", " Account Locked Up", EventKind::LockedOrDisabled, Severity::Warning,
     OnlineEffect::None, AlertRule::AccountLocked, ListColour::Red},
    {TryingInvalidUserNames, "TryingInvalidUserNames", " Trying invalid User Names", EventKind::FailedAttempt,
     Severity::Notice, OnlineEffect::None, AlertRule::UserNameGuessing, ListColour::Amber},
    {TryingInvalidPasswords, "TryingInvalidPasswords", " Trying invalid Passwords", EventKind::FailedAttempt,
     Severity::Notice, OnlineEffect::None, AlertRule::PasswordGuessing, ListColour::Amber},
    {AccountIsDisabled, "AccountIsDisabled", " Account is disabled", EventKind::LockedOrDisabled,
     Severity::Warning, OnlineEffect::None, AlertRule::AccountDisabled, ListColour::Red},
    {FirewallRebooted, "FirewallRebooted", " Firewall Rebooted", EventKind::FirewallReboot, Severity::Warning,
     OnlineEffect::RemovesServer, AlertRule::FirewallRebooted, ListColour::Blue},
    {AccessingFilteredSites, "AccessingFilteredSites", " Accesing Filtered Sites", EventKind::FilteredSite,
     Severity::Notice, OnlineEffect::None, AlertRule::FilteredSite, ListColour::Plain},
    {AccountMarkedForLockUp, "AccountMarkedForLockUp", " Account Marked for LockUp",
     EventKind::LockedOrDisabled, Severity::Warning, OnlineEffect::Removes, AlertRule::MarkedForLockUp,
     ListColour::Red},
    {AccessTimeExpired, "AccessTimeExpired", " Access time Expired", EventKind::AccessTimeExpired,
     Severity::Informational, OnlineEffect::Removes, std::nullopt, ListColour::Plain},
};

// What a code past the table means: an empty keyword, a notice of no kind that changes nothing.
inline constexpr EventCodeInfo UNKNOWN_EVENT_CODE = {
    EVENT_CODE_COUNT, "", "", EventKind::Other, Severity::Notice, OnlineEffect::None, std::nullopt,
    ListColour::Plain};

namespace eventcodes_detail
{
constexpr bool rowsInOrder()
{
    for (quint32 code = 0; code < std::size(EVENT_CODES); ++code) {
        const EventCodeInfo& row = EVENT_CODES[code];
        if (row.code != code || !row.keyword || !row.keyword[0] || !row.message || row.message[0] != ' ')
            return false;
    }
    return true;
}
} // namespace eventcodes_detail
static_assert(std::size(EVENT_CODES) == EVENT_CODE_COUNT, "one row per event code");
static_assert(eventcodes_detail::rowsInOrder(), "rows in code order, each with a keyword and a message");

constexpr const EventCodeInfo& eventCodeInfo(quint32 code)
{
    return code < EVENT_CODE_COUNT ? EVENT_CODES[code] : UNKNOWN_EVENT_CODE;
}

// The log keyword; empty for codes past the table.
inline const char* eventKeyword(quint32 code)
{
    return eventCodeInfo(code).keyword;
}

// The event list's text; " Unknown event N" for codes past the table.
QByteArray eventMessage(quint32 code);
