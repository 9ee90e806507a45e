// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <vector>

// Events taken together, in arrival order, with the monitor's own clocks at the moment they were
// taken (the firewalls' time fields are free text).
struct EventBatch {
    std::vector<EventRecord> events;
    qint64 arrivalMicros = 0;    // wall clock: microseconds since 1970-01-01 UTC
    qint64 arrivalMonotonic = 0; // monotonic clock, milliseconds: for intervals
};
