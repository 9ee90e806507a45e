// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

constexpr std::size_t ADDRESS_FIELD_SIZE = 50;

struct OnlineUser {
    quint32 EventCode = 0;
    char Username[USERNAME_WIDTH + 1] = {};
    char Groupname[GROUPNAME_WIDTH + 1] = {};
    char LoginTime[LOGINTIME_WIDTH + 1] = {};
    char IPAddress[ADDRESS_FIELD_SIZE] = {};
    char ServerIPAddress[ADDRESS_FIELD_SIZE] = {};
    char Date[DATE_WIDTH + 1] = {};
    char EventTime[EVENTTIME_WIDTH + 1] = {};
};

// The entry that an event makes: its texts and the dotted user and server addresses.
OnlineUser makeOnlineUser(const EventRecord& record);

// Users keyed by address text, walked in the order of their latest entry; the hash index only
// speeds up the lookup by key.
class OnlineUserTable
{
public:
    using const_iterator = std::list<OnlineUser>::const_iterator;

    OnlineUserTable() = default;
    // A copy's index would still point into the original's entries; a move takes the nodes along.
    OnlineUserTable(const OnlineUserTable&) = delete;
    OnlineUserTable& operator=(const OnlineUserTable&) = delete;
    OnlineUserTable(OnlineUserTable&&) = default;
    OnlineUserTable& operator=(OnlineUserTable&&) = default;

    // Puts the entry at the tail, replacing the one of the same address: the newest log-on is last,
    // so a list rebuilt from the table has it on top, as the live list does.
    void AddOrUpdateUser(const OnlineUser& user);
    void RemoveUser(std::string_view address);
    // Drops every entry reported by `server` (the reboot of that one firewall).
    void removeServerUsers(std::string_view server);

    const OnlineUser* find(std::string_view address) const;
    // How many users each server has online, kept as they come and go: a reader need not walk them.
    const std::unordered_map<std::string, std::size_t>& usersPerServer() const { return m_perServer; }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }

private:
    std::list<OnlineUser> m_entries;
    // Keys view the IPAddress text of the list node, which never moves.
    std::unordered_map<std::string_view, std::list<OnlineUser>::iterator> m_index;
    std::unordered_map<std::string, std::size_t> m_perServer;
};
