// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/TextMatcher.h"

#include <array>

namespace
{

constexpr std::array<unsigned char, 256> makeFoldTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool upper = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
        table[c] = static_cast<unsigned char>(upper ? c + 0x20 : c);
    }
    return table;
}

constexpr std::array<unsigned char, 256> FOLD = makeFoldTable();

} // namespace

unsigned char foldLatin1(unsigned char c)
{
    return FOLD[c];
}

TextMatcher::TextMatcher(const QString& text)
{
    // Lower case first: a few letters outside Latin-1 (the Kelvin sign, capital Y with diaeresis)
    // have their small letter inside it. No cell holds a NUL, which ends every field it came from.
    for (const QChar c : text.toLower()) {
        if (c.unicode() > 0xFF || c.unicode() == 0) {
            m_never = true;
            return;
        }
        m_needle.push_back(static_cast<char>(FOLD[c.unicode()]));
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
        if (FOLD[text[i]] != first)
            continue;
        std::size_t k = 1;
        while (k < length && FOLD[text[i + k]] == needle[k])
            ++k;
        if (k == length)
            return true;
    }
    return false;
}
