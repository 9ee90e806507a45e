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

GuessTracker::GuessTracker(std::size_t maxKeys) : m_maxKeys(std::max<std::size_t>(maxKeys, 1))
{
    // At most 40% full, so a probe seldom goes past a few places.
    std::size_t capacity = 8;
    while (capacity < m_maxKeys * 5 / 2)
        capacity *= 2;
    m_index.assign(capacity, NONE);
}

std::size_t GuessTracker::bytesUsed() const
{
    return m_slots.capacity() * sizeof(Slot) + m_index.size() * sizeof(quint32);
}

void GuessTracker::clear()
{
    m_slots.clear();
    std::fill(m_index.begin(), m_index.end(), NONE);
    m_newest = m_oldest = NONE;
}

std::size_t GuessTracker::home(const GuessKey& key) const
{
    return qHashBits(&key, sizeof key) & (m_index.size() - 1);
}

std::size_t GuessTracker::probe(const GuessKey& key) const
{
    const std::size_t mask = m_index.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        const quint32 s = m_index[i];
        if (s == NONE || std::memcmp(&m_slots[s].key, &key, sizeof key) == 0)
            return i;
    }
}

void GuessTracker::unlink(quint32 slot)
{
    Slot& s = m_slots[slot];
    (s.older == NONE ? m_oldest : m_slots[s.older].newer) = s.newer;
    (s.newer == NONE ? m_newest : m_slots[s.newer].older) = s.older;
}

void GuessTracker::pushNewest(quint32 slot)
{
    Slot& s = m_slots[slot];
    s.older = m_newest;
    s.newer = NONE;
    (m_newest == NONE ? m_oldest : m_slots[m_newest].newer) = slot;
    m_newest = slot;
}

void GuessTracker::forgetOldest()
{
    const quint32 victim = m_oldest;
    unlink(victim);
    // Removal from linear probing: later entries of the run move back over the hole, unless
    // their home lies between the hole and where they stand.
    const std::size_t mask = m_index.size() - 1;
    std::size_t hole = probe(m_slots[victim].key);
    for (std::size_t j = (hole + 1) & mask; m_index[j] != NONE; j = (j + 1) & mask) {
        const std::size_t h = home(m_slots[m_index[j]].key);
        const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!stays) {
            m_index[hole] = m_index[j];
            hole = j;
        }
    }
    m_index[hole] = NONE;
}

quint32 GuessTracker::add(const GuessKey& key, qint64 nowMs)
{
    quint32 slot;
    if (m_slots.size() < m_maxKeys) {
        slot = static_cast<quint32>(m_slots.size());
        m_slots.emplace_back();
    } else {
        slot = m_oldest;
        forgetOldest();
    }
    Slot& s = m_slots[slot];
    s.key = key;
    s.count = 0;
    s.silent = false;
    s.last = nowMs;
    m_index[probe(key)] = slot;
    pushNewest(slot);
    return slot;
}

bool GuessTracker::count(const GuessKey& key, qint64 nowMs, int threshold, qint64 windowMs)
{
    threshold = std::clamp(threshold, 1, MAX_GUESSES);
    const std::size_t at = probe(key);
    quint32 slot = m_index[at];
    if (slot == NONE) {
        slot = add(key, nowMs);
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
