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
};
