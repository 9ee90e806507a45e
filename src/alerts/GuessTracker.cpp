// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/GuessTracker.h"

#include <QHashFunctions>

#include <algorithm>
#include <cstring>

GuessKey makeGuessKey(int rule, quint32 server, quint32 address, const char* name, std::size_t nameLength)
{
    GuessKey key;
    std::memset(&key, 0, sizeof key);
    key.server = server;
    key.address = address;
    key.rule = static_cast<quint8>(rule);
    key.nameLength = static_cast<quint8>(std::min(nameLength, USERNAME_WIDTH));
    std::memcpy(key.name, name, key.nameLength);
    return key;
}

// The names come from outside: the process's random hash seed keeps them from being chosen to collide.
GuessTracker::GuessTracker(std::size_t maxKeys)
    : m_maxKeys(std::clamp<std::size_t>(maxKeys, 1, NONE - 1)), m_seed(qGlobalQHashSeed())
{
    // At most 40% full, so a probe seldom goes past a few places.
    std::size_t capacity = 8;
    while (capacity < m_maxKeys * 5 / 2)
        capacity *= 2;
    m_index.assign(capacity, Entry{NONE, 0});
}

std::size_t GuessTracker::bytesUsed() const
{
    return m_slots.capacity() * sizeof(Slot) + m_links.capacity() * sizeof(Link) +
           m_index.size() * sizeof(Entry);
}

void GuessTracker::clear()
{
    m_slots.clear();
    m_links.clear();
    std::fill(m_index.begin(), m_index.end(), Entry{NONE, 0});
    m_newest = m_oldest = NONE;
}

quint32 GuessTracker::hashOf(const GuessKey& key) const
{
    // Only the bytes in use: the rest of the name is zero.
    const std::size_t used = offsetof(GuessKey, name) + key.nameLength;
    return static_cast<quint32>(qHashBits(&key, used, m_seed));
}

std::size_t GuessTracker::probe(const GuessKey& key, quint32 hash) const
{
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Entry& e = m_index[i];
        if (e.slot == NONE ||
            (e.hash == hash && std::memcmp(&m_slots[e.slot].key, &key, sizeof key) == 0))
            return i;
    }
}

void GuessTracker::unlink(quint32 slot)
{
    Link& l = m_links[slot];
    (l.older == NONE ? m_oldest : m_links[l.older].newer) = l.newer;
    (l.newer == NONE ? m_newest : m_links[l.newer].older) = l.older;
}

void GuessTracker::pushNewest(quint32 slot)
{
    Link& l = m_links[slot];
    l.older = m_newest;
    l.newer = NONE;
    (m_newest == NONE ? m_oldest : m_links[m_newest].newer) = slot;
    m_newest = slot;
}

void GuessTracker::forgetOldest()
{
    const quint32 victim = m_oldest;
    unlink(victim);
    // Removal from linear probing: later entries of the run move back over the hole, unless
    // their home lies between the hole and where they stand.
    const std::size_t mask = m_index.size() - 1;
    std::size_t hole = m_links[victim].hash & mask;
    while (m_index[hole].slot != victim)
        hole = (hole + 1) & mask;
    for (std::size_t j = (hole + 1) & mask; m_index[j].slot != NONE; j = (j + 1) & mask) {
        const std::size_t h = m_index[j].hash & mask;
        const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!stays) {
            m_index[hole] = m_index[j];
            hole = j;
        }
    }
    m_index[hole] = Entry{NONE, 0};
}

quint32 GuessTracker::add(const GuessKey& key, quint32 hash, qint64 nowMs)
{
    quint32 slot;
    if (m_slots.size() < m_maxKeys) {
        // Grown by hand, so a full table holds no spare room.
        if (m_slots.size() == m_slots.capacity()) {
            const std::size_t room = std::min(std::max<std::size_t>(m_slots.capacity() * 2, 64), m_maxKeys);
            m_slots.reserve(room);
            m_links.reserve(room);
        }
        slot = static_cast<quint32>(m_slots.size());
        m_slots.emplace_back();
        m_links.emplace_back();
    } else {
        slot = m_oldest;
        forgetOldest();
    }
    Slot& s = m_slots[slot];
    s.key = key;
    s.count = 0;
    s.silent = false;
    s.last = nowMs;
    m_links[slot].hash = hash;
    m_index[probe(key, hash)] = Entry{slot, hash};
    pushNewest(slot);
    return slot;
}

bool GuessTracker::count(const GuessKey& key, qint64 nowMs, int threshold, qint64 windowMs)
{
    threshold = std::clamp(threshold, 1, MAX_GUESSES);
    const quint32 hash = hashOf(key);
    quint32 slot = m_index[probe(key, hash)].slot;
    if (slot == NONE) {
        slot = add(key, hash, nowMs);
    } else if (slot != m_newest) {
        unlink(slot);
        pushNewest(slot);
    }
    Slot& s = m_slots[slot];
    const qint64 since = std::max<qint64>(0, nowMs - s.last);
    s.last = nowMs;
    if (s.silent) {
        if (since < windowMs)
            return false;
        s.silent = false;
        s.count = 0;
    }
    int kept = 0;
    for (int i = 0; i < s.count; ++i) {
        const qint64 age = s.ago[i] + since;
        if (age < windowMs)
            s.ago[kept++] = static_cast<quint32>(age);
    }
    s.ago[kept++] = 0;
    if (kept >= threshold) {
        s.count = 0;
        s.silent = true;
        return true;
    }
    s.count = static_cast<quint8>(kept);
    return false;
}
