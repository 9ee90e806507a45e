// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QRect>

// Places widgets from a window template's dialog units, converted with a font's metrics the way
// the template's platform does: x = units * base width / 4, y = units * base height / 8.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont& font);

    QRect rect(int x, int y, int w, int h) const;
    int x(int units) const;
    int y(int units) const;
    double baseWidth() const { return m_baseWidth; }
    int baseHeight() const { return m_baseHeight; }

private:
    double m_baseWidth;
    int m_baseHeight;
};
