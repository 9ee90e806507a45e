// SPDX-License-Identifier: GPL-3.0-or-later
// The alert rules with 10^5 users guessing passwords at once: CPU time per event and bytes per
// tracked key, and the same with twice as many users, where every new key forgets the oldest.
#include "alerts/AlertRules.h"
#include "events/Address.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace
{

// CPU time of the process: the machine may be shared.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void run(int users, int rounds)
{
    std::vector<EventRecord> records(static_cast<std::size_t>(users));
    for (int k = 0; k < users; ++k) {
        EventRecord& r = records[static_cast<std::size_t>(k)];
        r.EventCode = TryingInvalidPasswords;
        r.ServerIPAddress = ipAddressFromBytes(10, 0, 0, static_cast<quint8>(1 + k % 8));
        r.IPAddress = ipAddressFromBytes(172, 16, static_cast<quint8>(k >> 8), static_cast<quint8>(k));
        setField(r.Username, USERNAME_WIDTH, "guessing.user." + QByteArray::number(k));
    }
    AlertRules rules;
    AlertBatch alerts;
    qint64 now = 0;
    const double start = cpuSeconds();
    for (int round = 0; round < rounds; ++round) {
        for (const EventRecord& r : records) {
            rules.check(r, now * 1000, now, alerts);
            ++now;
        }
        alerts.clear();
    }
    const double events = double(users) * rounds;
    const double ns = (cpuSeconds() - start) * 1e9 / events;
    std::printf("%7d users, %d rounds: %.0f ns per event, %zu keys, %.0f bytes per key\n", users, rounds, ns,
                rules.tracker().size(), double(rules.tracker().bytesUsed()) / double(rules.tracker().size()));
}

} // namespace

int main()
{
    run(100000, 10);
    run(200000, 5);
    return 0;
}
