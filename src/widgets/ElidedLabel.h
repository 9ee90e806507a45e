// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// A one-line label whose text is cut with "..." where it does not fit; the whole text is its
// tooltip and its accessible description, so nothing is lost to a reader.
class ElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

    void setFullText(const QString& text)
    {
        if (text == m_full)
            return;
        m_full = text;
        setToolTip(text);
        setAccessibleDescription(text);
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
    void elide() { setText(fontMetrics().elidedText(m_full, Qt::ElideRight, contentsRect().width())); }

    QString m_full;
};
