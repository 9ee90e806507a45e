// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/OnlineUsers.h"

#include <new>

void OnlineUsers::apply(const EventRecord& record)
{
    // Whichever server sent it: no view decides what the table holds.
    const OnlineEffect effect = eventCodeInfo(record.EventCode).online;
    if (effect == OnlineEffect::None)
        return;
    const OnlineUser entry = makeOnlineUser(record);
    const std::string_view address(entry.IPAddress);
    const std::string_view server(entry.ServerIPAddress);
    const OnlineUser* before = sessions.starts || sessions.ends ? m_table.find(address) : nullptr;
    // The same user logging on again at the same server goes on with the same session.
    const bool again = before && std::string_view(before->Username) == entry.Username &&
                       std::string_view(before->ServerIPAddress) == server;
    if (sessions.ends) {
        if (effect == OnlineEffect::RemovesServer) {
            for (const OnlineUser& user : m_table)
                if (server == user.ServerIPAddress)
                    sessions.ends(user, record);
        } else if (before && !(effect == OnlineEffect::AddsOrRefreshes && again)) {
            sessions.ends(*before, record);
        }
    }
    if (effect == OnlineEffect::AddsOrRefreshes)
        m_table.AddOrUpdateUser(entry);
    else if (effect == OnlineEffect::Removes)
        m_table.RemoveUser(address);
    else
        m_table.removeServerUsers(server);
    if (listener.changed)
        listener.changed(
            {effect, effect == OnlineEffect::AddsOrRefreshes ? &entry : nullptr, address, server});
    if (effect == OnlineEffect::AddsOrRefreshes && !again && sessions.starts)
        sessions.starts(entry);
}

void OnlineUsers::apply(const EventBatch& batch)
{
    if (listener.batchBegins)
        listener.batchBegins();
    for (const EventRecord& record : batch.events) {
        try {
            apply(record);
        } catch (const std::bad_alloc&) {
            if (listener.outOfMemory)
                listener.outOfMemory();
        }
    }
    if (listener.batchEnds)
        listener.batchEnds();
}
