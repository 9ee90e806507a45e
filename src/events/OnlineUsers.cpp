// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/OnlineUsers.h"

OnlineEffect onlineEffect(quint32 code)
{
    switch (code) {
    case LoggedOn:
        return OnlineEffect::LogOn;
    case LoggedOff:
    case AccountMarkedForLockUp:
    case AccessTimeExpired:
        return OnlineEffect::LogOff;
    case FirewallRebooted:
        return OnlineEffect::Reboot;
    default:
        return OnlineEffect::None;
    }
}

void OnlineUsers::apply(const EventRecord& record)
{
    const OnlineEffect effect = onlineEffect(record.EventCode);
    if (effect == OnlineEffect::None)
        return;
    const OnlineUser entry = makeOnlineUser(record);
    const std::string_view address(entry.IPAddress);
    const std::string_view server(entry.ServerIPAddress);
    if (effect == OnlineEffect::LogOn)
        m_table.AddOrUpdateUser(entry);
    else if (effect == OnlineEffect::LogOff)
        m_table.RemoveUser(address);
    else
        m_table.removeServerUsers(server);
    if (listener)
        listener({effect, effect == OnlineEffect::LogOn ? &entry : nullptr, address, server});
}
