// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/Alert.h"

#include "events/Address.h"

namespace
{

struct RuleNames {
    const char* what;
    const char* key;
};
constexpr RuleNames RULE_NAMES[] = {
    {"account locked", "account-locked"},          {"account marked for lock-up", "marked-for-lock-up"},
    {"disabled account used", "account-disabled"}, {"firewall rebooted", "firewall-rebooted"},
    {"filtered site accessed", "filtered-site"},   {"password guessing", "password-guessing"},
    {"user-name guessing", "user-name-guessing"},
};
static_assert(std::size(RULE_NAMES) == ALERT_RULE_COUNT, "names for each rule");

} // namespace

const char* alertWhat(AlertRule rule)
{
    return RULE_NAMES[static_cast<int>(rule)].what;
}

const char* alertRuleKey(AlertRule rule)
{
    return RULE_NAMES[static_cast<int>(rule)].key;
}

QByteArray alertWho(const Alert& alert)
{
    QByteArray who = "server " + FormatIPAddress(alert.server);
    if (alert.rule == AlertRule::FirewallRebooted)
        return who;
    // The guessed names vary; what stays is where the guesses come from.
    if (alert.rule == AlertRule::UserNameGuessing || alert.user.isEmpty())
        return who + ", address " + FormatIPAddress(alert.address);
    return who + ", user " + alert.user;
}
