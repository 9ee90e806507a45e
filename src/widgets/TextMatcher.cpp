// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/TextMatcher.h"

TextMatcher::TextMatcher(const QString& text)
{
    // Lower case first: a few letters outside Latin-1 (the Kelvin sign, capital Y with diaeresis)
    // have their small letter inside it. No cell holds a NUL, which ends every field it came from.
    for (const QChar c : text.toLower()) {
        if (c.unicode() > 0xFF || c.unicode() == 0) {
            m_never = true;
            return;
        }
        m_needle.push_back(static_cast<char>(LATIN1_FOLD[c.unicode()]));
    }
}

bool TextMatcher::in(const char* data, std::size_t size) const
{
    if (m_never)
        return false;
    const std::size_t length = m_needle.size();
    if (length == 0)
        return true;
    if (size < length)
        return false;
    const auto* text = reinterpret_cast<const unsigned char*>(data);
    const auto* needle = reinterpret_cast<const unsigned char*>(m_needle.data());
    const unsigned char first = needle[0];
    const std::size_t last = size - length;
    for (std::size_t i = 0; i <= last; ++i) {
        if (LATIN1_FOLD[text[i]] != first)
            continue;
        std::size_t k = 1;
        while (k < length && LATIN1_FOLD[text[i + k]] == needle[k])
            ++k;
        if (k == length)
            return true;
    }
    return false;
}
