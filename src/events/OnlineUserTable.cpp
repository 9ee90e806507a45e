// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/OnlineUserTable.h"

#include <cstring>

OnlineUser makeOnlineUser(const EventRecord& record)
{
    OnlineUser user;
    user.EventCode = record.EventCode;
    std::memcpy(user.Username, record.Username, sizeof user.Username);
    std::memcpy(user.Groupname, record.Groupname, sizeof user.Groupname);
    std::memcpy(user.LoginTime, record.LoginTime, sizeof user.LoginTime);
    setField(user.IPAddress, ADDRESS_FIELD_SIZE - 1, FormatIPAddress(record.IPAddress));
    setField(user.ServerIPAddress, ADDRESS_FIELD_SIZE - 1, FormatIPAddress(record.ServerIPAddress));
    std::memcpy(user.Date, record.Date, sizeof user.Date);
    std::memcpy(user.EventTime, record.EventTime, sizeof user.EventTime);
    return user;
}

void OnlineUserTable::AddOrUpdateUser(const OnlineUser& user)
{
    RemoveUser(user.IPAddress);
    m_entries.push_back(user);
    auto last = std::prev(m_entries.end());
    m_index.emplace(std::string_view(last->IPAddress), last);
    ++m_perServer[last->ServerIPAddress];
}

void OnlineUserTable::RemoveUser(std::string_view address)
{
    const auto found = m_index.find(address);
    if (found == m_index.end())
        return;
    const auto entry = found->second;
    const auto server = m_perServer.find(entry->ServerIPAddress);
    if (--server->second == 0)
        m_perServer.erase(server);
    m_index.erase(found);
    m_entries.erase(entry);
}

void OnlineUserTable::removeServerUsers(std::string_view server)
{
    if (m_perServer.erase(std::string(server)) == 0)
        return; // none online there: no walk
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (server == it->ServerIPAddress) {
            m_index.erase(std::string_view(it->IPAddress));
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

const OnlineUser* OnlineUserTable::find(std::string_view address) const
{
    const auto found = m_index.find(address);
    return found == m_index.end() ? nullptr : &*found->second;
}
