// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventBatch.h"
#include "events/EventCodes.h"
#include "events/OnlineUserTable.h"

#include <functional>
#include <string_view>

// One rule applied: a log-on (with the user's new entry), a log-off of `address`, or the reboot of
// `server`.
struct OnlineChange {
    OnlineEffect effect;
    const OnlineUser* user; // the entry, for a log-on only
    std::string_view address;
    std::string_view server;
};

// Who is online at every server, kept from the events alone: no view decides what it holds.
class OnlineUsers
{
public:
    // Who hears the rules applied; any part may be empty.
    struct Listener {
        std::function<void()> batchBegins;
        // Each rule as it is applied, after the table has changed.
        std::function<void(const OnlineChange&)> changed;
        std::function<void()> batchEnds;
        // A log-on that found no memory for its entry; the table is as it was.
        std::function<void()> outOfMemory;
    };
    Listener listener;
    // Who hears of sessions, a user's time online by these same rules: one starts at a log-on, unless
    // the same user logs on again at the same server, and ends at the event that removes the user
    // (`cause`: a log-off, a mark for lock-up, an expired access time, the server's reboot, or a
    // log-on from the same address by another user or at another server).
    struct SessionListener {
        std::function<void(const OnlineUser& user)> starts;
        std::function<void(const OnlineUser& user, const EventRecord& cause)> ends;
    };
    SessionListener sessions;

    void apply(const EventRecord& record);
    // Each event of `batch` in turn, between the listener's batchBegins and batchEnds.
    void apply(const EventBatch& batch);
    const OnlineUserTable& table() const { return m_table; }

private:
    OnlineUserTable m_table;
};
