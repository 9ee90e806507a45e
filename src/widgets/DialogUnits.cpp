// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/DialogUnits.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QString>
#include <QtMath>

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseWidth = metrics.horizontalAdvance(letters) / 52.0;
    m_baseHeight = QFontMetrics(font).height();
}

QRect DialogUnits::rect(int x, int y, int w, int h) const
{
    return QRect(this->x(x), this->y(y), this->x(w), this->y(h));
}

int DialogUnits::x(int units) const
{
    return qRound(units * m_baseWidth / 4.0);
}

int DialogUnits::y(int units) const
{
    return qRound(units * m_baseHeight / 8.0);
}
