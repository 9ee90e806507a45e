// SPDX-License-Identifier: GPL-3.0-or-later
#include "fwsim/DemoDay.h"

#include <algorithm>
#include <iterator>

namespace
{

const char* const FIRST_NAMES[] = {"alice", "bruno", "chloe", "dmitri", "elena", "farid", "greta",
                                   "hiro",  "ines",  "jonas", "keiko",  "lars",  "maya",  "nils",
                                   "olga",  "pedro", "quinn", "rosa",   "sven",  "tara",  "umar",
                                   "vera",  "wen",   "xavi",  "yusuf",  "zoe"};
const char* const GROUPS[] = {"Staff", "Sales", "Engineering", "Students", "Guests"};
const char* const INTRUDER_NAMES[] = {"admin", "root", "test", "guest", "administrator", "user1"};
constexpr int USERS_PER_SERVER = 9;
constexpr int LOCK_OUT_EVENTS = 120;

} // namespace

DemoDay::DemoDay(const QVector<quint32>& servers, quint32 seed) : m_servers(servers), m_random(seed)
{
    int nameIndex = 0;
    const int nameCount = static_cast<int>(std::size(FIRST_NAMES));
    for (int s = 0; s < m_servers.size(); ++s) {
        for (int k = 0; k < USERS_PER_SERVER; ++k) {
            User user;
            user.name = FIRST_NAMES[nameIndex % nameCount];
            if (nameIndex >= nameCount)
                user.name += QByteArray::number(nameIndex / nameCount + 1);
            ++nameIndex;
            user.group = GROUPS[(s + k) % std::size(GROUPS)];
            user.ip =
                ipAddressFromBytes(192, 168, static_cast<quint8>(s % 250 + 1), static_cast<quint8>(10 + k));
            user.server = s;
            user.disabled = k == USERS_PER_SERVER - 1;
            m_users.append(user);
        }
    }
    m_nextReboot = 150 + m_random.bounded(100);
}

int DemoDay::onlineCount() const
{
    return static_cast<int>(
        std::count_if(m_users.begin(), m_users.end(), [](const User& u) { return u.online; }));
}

int DemoDay::nextDelayMs()
{
    return 200 + static_cast<int>(m_random.bounded(301));
}

int DemoDay::pickUser(bool online)
{
    QVector<int> candidates;
    for (int i = 0; i < m_users.size(); ++i) {
        const User& u = m_users[i];
        const bool available = !u.disabled && m_eventNumber >= u.lockedUntil;
        if (u.online == online && available)
            candidates.append(i);
    }
    if (candidates.isEmpty())
        return -1;
    return candidates[static_cast<int>(m_random.bounded(static_cast<quint32>(candidates.size())))];
}

void DemoDay::queue(quint32 code, int user)
{
    // Users come and go as the monitor reads the codes.
    const OnlineEffect effect = eventCodeInfo(code).online;
    if (effect == OnlineEffect::AddsOrRefreshes || effect == OnlineEffect::Removes)
        m_users[user].online = effect == OnlineEffect::AddsOrRefreshes;
    Pending pending;
    pending.code = code;
    pending.user = user;
    pending.server = m_users[user].server;
    m_pending.append(pending);
}

void DemoDay::planNext()
{
    if (m_eventNumber >= m_nextReboot) {
        m_nextReboot = m_eventNumber + 150 + m_random.bounded(100);
        Pending reboot;
        reboot.code = FirewallRebooted;
        reboot.server = static_cast<int>(m_random.bounded(static_cast<quint32>(m_servers.size())));
        for (User& u : m_users) {
            if (u.server == reboot.server)
                u.online = false;
        }
        m_pending.append(reboot);
        return;
    }

    const int roll = static_cast<int>(m_random.bounded(100));
    const int offline = pickUser(false);
    const int online = pickUser(true);
    if (roll < 35 && offline >= 0) {
        queue(LoggedOn, offline);
    } else if (roll < 55 && online >= 0) {
        queue(LoggedOff, online);
    } else if (roll < 70 && online >= 0) {
        queue(AccessingFilteredSites, online);
    } else if (roll < 78 && offline >= 0) {
        // A mistyped password, then the right one.
        queue(TryingInvalidPasswords, offline);
        queue(LoggedOn, offline);
    } else if (roll < 83) {
        // An intruder tries five names from one address, enough for the monitor's guessing alert.
        Pending intruder;
        intruder.code = TryingInvalidUserNames;
        intruder.server = static_cast<int>(m_random.bounded(static_cast<quint32>(m_servers.size())));
        intruder.address = ipAddressFromBytes(172, 16, static_cast<quint8>(m_random.bounded(256)),
                                              static_cast<quint8>(1 + m_random.bounded(254)));
        const quint32 first = m_random.bounded(static_cast<quint32>(std::size(INTRUDER_NAMES)));
        for (quint32 i = 0; i < 5; ++i) {
            intruder.name = INTRUDER_NAMES[(first + i) % std::size(INTRUDER_NAMES)];
            m_pending.append(intruder);
        }
    } else if (roll < 87) {
        const int s = static_cast<int>(m_random.bounded(static_cast<quint32>(m_servers.size())));
        queue(AccountIsDisabled, s * USERS_PER_SERVER + USERS_PER_SERVER - 1);
    } else if (roll < 92 && online >= 0) {
        queue(AccessTimeExpired, online);
    } else if (roll < 96 && offline >= 0) {
        // A lock-out: five wrong passwords, the warning, then the lock.
        m_users[offline].lockedUntil = m_eventNumber + LOCK_OUT_EVENTS;
        for (int i = 0; i < 5; ++i)
            queue(TryingInvalidPasswords, offline);
        queue(AccountMarkedForLockUp, offline);
        queue(AccountLockedUp, offline);
    } else if (online >= 0) {
        queue(AccessingFilteredSites, online);
    } else if (offline >= 0) {
        queue(LoggedOn, offline);
    } else {
        queue(AccountIsDisabled, USERS_PER_SERVER - 1);
    }
}

EventRecord DemoDay::build(const Pending& pending, const QByteArray& date, const QByteArray& time)
{
    EventRecord record;
    record.EventCode = pending.code;
    record.ServerIPAddress = m_servers[pending.server];
    if (pending.user >= 0) {
        User& u = m_users[pending.user];
        setField(record.Username, USERNAME_WIDTH, u.name);
        setField(record.Groupname, GROUPNAME_WIDTH, u.group);
        record.IPAddress = u.ip;
        if (pending.code == LoggedOn)
            u.loginTime = time;
        if (pending.code == LoggedOn || pending.code == LoggedOff || pending.code == AccessingFilteredSites ||
            pending.code == AccessTimeExpired)
            setField(record.LoginTime, LOGINTIME_WIDTH, u.loginTime);
    } else if (!pending.name.isEmpty()) {
        setField(record.Username, USERNAME_WIDTH, pending.name);
        record.IPAddress = pending.address;
    }
    setField(record.Date, DATE_WIDTH, date);
    setField(record.EventTime, EVENTTIME_WIDTH, time);
    return record;
}

EventRecord DemoDay::next(const QByteArray& date, const QByteArray& time)
{
    if (m_pending.isEmpty())
        planNext();
    const Pending pending = m_pending.takeFirst();
    ++m_eventNumber;
    return build(pending, date, time);
}
