// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// A one-line label whose text is cut in the middle with "..." where it does not fit, so that its
// start and end stay; the whole text is its tooltip and its accessible description.
class ElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

    // `note`, when given, follows the text on a line of its own in the tip.
    void setFullText(const QString& text, const QString& note = QString())
    {
        if (text == m_full && note == m_note)
            return;
        m_full = text;
        m_note = note;
        const QString tip = note.isEmpty() ? text : text + QLatin1Char('\n') + note;
        setToolTip(tip);
        setAccessibleDescription(tip);
        elide();
    }
    const QString& fullText() const { return m_full; }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(m_full, Qt::ElideMiddle, contentsRect().width())); }

    QString m_full;
    QString m_note;
};
