// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <prometheus/metric_family.h>

#include <vector>

// The process's own figures from /proc/self, named as Prometheus names them for every process:
// CPU time, memory, open files and the start time. Those it cannot read are left out.
std::vector<prometheus::MetricFamily> processFamilies();
