// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "log/LogReader.h"

#include <QChartView>

#include <vector>

class QBarSet;
class QValueAxis;

// The chosen date's lines per hour, one bar an hour, stacked by event kind.
class HourlyChart : public QChartView
{
public:
    explicit HourlyChart(QWidget* parent = nullptr);

    void setCounts(const HourlyKindCounts& counts);
    const HourlyKindCounts& counts() const { return m_counts; }

private:
    std::vector<QBarSet*> m_sets; // one a kind, owned by the chart's series
    QValueAxis* m_axisY;
    HourlyKindCounts m_counts{};
    quint32 m_highest = ~0u; // the most lines in one hour, as the axis shows it
    bool m_drawn = false;
};
