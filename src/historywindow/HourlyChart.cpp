// SPDX-License-Identifier: GPL-3.0-or-later
#include "historywindow/HourlyChart.h"

#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QGraphicsLayout>
#include <QLegendMarker>
#include <QStackedBarSeries>
#include <QValueAxis>

#include <algorithm>
#include <iterator>

namespace
{

// One colour a kind, told apart also in grey.
constexpr QRgb KIND_COLOURS[] = {0x4C72B0, 0xDD8452, 0xC44E52, 0x8172B3, 0x937860, 0x55A868, 0x8C8C8C};
static_assert(std::size(KIND_COLOURS) == EVENT_KIND_COUNT, "a colour for each kind");

} // namespace

HourlyChart::HourlyChart(QWidget* parent) : QChartView(parent), m_axisY(new QValueAxis)
{
    auto* chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundRoundness(0);
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    auto* series = new QStackedBarSeries(chart);
    series->setBarWidth(0.8);
    for (int kind = 0; kind < EVENT_KIND_COUNT; ++kind) {
        auto* set = new QBarSet(QString::fromLatin1(eventKindName(EventKind(kind))));
        set->setColor(QColor(KIND_COLOURS[kind]));
        set->setBorderColor(QColor(KIND_COLOURS[kind]));
        for (int hour = 0; hour < 24; ++hour)
            set->append(0);
        series->append(set);
        m_sets.push_back(set);
    }
    chart->addSeries(series);

    // Bar n stands at n; a label every three hours leaves room for each under any width.
    auto* axisX = new QCategoryAxis;
    axisX->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axisX->setStartValue(-0.5);
    for (int hour = 0; hour < 24; hour += 3)
        axisX->append(QString::asprintf("%02d", hour), hour);
    axisX->setRange(-0.5, 23.5);
    axisX->setGridLineVisible(false);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    axisX->setLabelsFont(small);
    m_axisY->setLabelsFont(small);
    m_axisY->setLabelFormat(QStringLiteral("%d"));
    m_axisY->setTickType(QValueAxis::TicksDynamic);
    m_axisY->setTickAnchor(0);
    chart->addAxis(axisX, Qt::AlignBottom);
    chart->addAxis(m_axisY, Qt::AlignLeft);
    series->attachAxis(axisX);
    series->attachAxis(m_axisY);
    chart->legend()->setAlignment(Qt::AlignRight);
    QFont smaller = font();
    smaller.setPointSizeF(smaller.pointSizeF() * 0.8);
    chart->legend()->setFont(smaller);
    chart->legend()->setMarkerShape(QLegend::MarkerShapeRectangle);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing, false);
    setCounts(m_counts);
}

void HourlyChart::setCounts(const HourlyKindCounts& counts)
{
    // Any change lays the chart out and draws it again; a Refresh that found the same is free.
    if (counts == m_counts && m_drawn)
        return;
    m_counts = counts;
    m_drawn = true;
    quint32 highest = 0;
    for (const auto& hour : counts) {
        quint32 total = 0;
        for (const quint32 n : hour)
            total += n;
        highest = std::max(highest, total);
    }
    const QList<QLegendMarker*> markers = chart()->legend()->markers();
    for (int kind = 0; kind < EVENT_KIND_COUNT; ++kind) {
        QBarSet* set = m_sets[static_cast<std::size_t>(kind)];
        QList<qreal> values;
        bool changed = false;
        for (int hour = 0; hour < 24; ++hour) {
            values << counts[static_cast<std::size_t>(hour)][static_cast<std::size_t>(kind)];
            changed = changed || set->at(hour) != values.back();
        }
        // A set's bars are laid out again on each change of it: all its values at once, and only
        // for a set that changed (a Refresh of the same day changes few or none).
        if (changed) {
            set->remove(0, set->count());
            set->append(values);
        }
        // Only the kinds of the day in the legend; "Other" only when there is any.
        if (kind < markers.size())
            markers[kind]->setVisible(EventKind(kind) != EventKind::Other || set->sum() > 0);
    }
    if (highest != m_highest) {
        m_highest = highest;
        // Ticks on whole numbers only: steps of 1, 2 or 5 times a power of ten, at most four of them.
        quint64 step = 1;
        for (int i = 0; step * 4 < highest; ++i)
            step = i % 3 == 1 ? step / 2 * 5 : step * 2;
        const quint64 top = (highest + step - 1) / step * step;
        // An empty day shows its 0 alone: the one tick within the range.
        m_axisY->setRange(0, qreal(std::max<quint64>(top, 1)));
        m_axisY->setTickInterval(qreal(highest == 0 ? 2 : step));
    }
}
