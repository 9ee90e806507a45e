// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <QtGlobal>

#include <cstddef>
#include <vector>

// Most events one key can need before it raises an alert.
constexpr int MAX_GUESSES = 16;
// Keys tracked at most; past this the key whose last event is oldest is forgotten.
constexpr std::size_t MAX_TRACKED_KEYS = 100000;

// What invalid attempts are counted by: the rule, the server, and the user name or the address.
// Every byte takes part in hashing and comparison, so a key is made whole by makeGuessKey().
struct GuessKey {
    quint32 server;
    quint32 address;
    quint8 rule;
    quint8 nameLength;
    quint8 spare[2];
    char name[USERNAME_WIDTH];
};
GuessKey makeGuessKey(int rule, quint32 server, quint32 address, const char* name, std::size_t nameLength);

// Counts events per key in a sliding window of time: the event that makes `threshold` within the
// window raises an alert; then the key's count restarts and it stays silent until a whole window
// passes with no event for it. Bounded: a fixed number of keys in flat storage with a hash index
// beside it, the least recently seen key forgotten first.
class GuessTracker
{
public:
    explicit GuessTracker(std::size_t maxKeys = MAX_TRACKED_KEYS);

    // One event of `key` at `nowMs` (a monotonic clock); true when it raises an alert.
    bool count(const GuessKey& key, qint64 nowMs, int threshold, qint64 windowMs);

    std::size_t size() const { return m_slots.size(); }
    std::size_t bytesUsed() const;
    void clear();

private:
    static constexpr quint32 NONE = 0xFFFFFFFFu;
    // What every event reads is in the first cache line; the times of the held events in the second.
    struct alignas(64) Slot {
        GuessKey key;
        quint8 count; // events held in `ago`, oldest first
        bool silent;
        qint64 last;              // ms of the latest event
        quint32 ago[MAX_GUESSES]; // ms before `last` of each held event
    };
    // The recency list and the key's hash, apart from the slots: an event moves its key to the
    // front, which touches its neighbours' links and nothing else of theirs.
    struct Link {
        quint32 older;
        quint32 newer;
        quint32 hash;
    };
    // An index entry carries the hash, so probes and removals seldom read a slot.
    struct Entry {
        quint32 slot;
        quint32 hash;
    };

    quint32 hashOf(const GuessKey& key) const;
    // The index position that holds `key`, or the empty one where it would go.
    std::size_t probe(const GuessKey& key, quint32 hash) const;
    quint32 add(const GuessKey& key, quint32 hash, qint64 nowMs);
    void forgetOldest();
    void unlink(quint32 slot);
    void pushNewest(quint32 slot);

    std::size_t m_maxKeys;
    std::vector<Slot> m_slots;
    std::vector<Link> m_links;
    std::vector<Entry> m_index; // open addressing, linear probing
    quint32 m_newest = NONE;
    quint32 m_oldest = NONE;
    std::size_t m_seed;
};
