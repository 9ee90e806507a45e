// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <string>

// Finds a typed text in 8-bit texts read as Latin-1, ignoring case. A text holding a NUL or a
// character that Latin-1 has not is in none.
class TextMatcher
{
public:
    explicit TextMatcher(const QString& text = QString());

    bool isEmpty() const { return m_needle.empty() && !m_never; }
    bool in(const char* data, std::size_t size) const;
    bool in(const QByteArray& text) const
    {
        return in(text.constData(), static_cast<std::size_t>(text.size()));
    }
    bool operator==(const TextMatcher& other) const
    {
        return m_never == other.m_never && m_needle == other.m_needle;
    }

private:
    std::string m_needle; // folded
    bool m_never = false;
};

// The byte that `c` folds to when case is ignored (Latin-1 capitals to their small letters).
constexpr std::array<unsigned char, 256> makeLatin1FoldTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool upper = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
        table[c] = static_cast<unsigned char>(upper ? c + 0x20 : c);
    }
    return table;
}
inline constexpr std::array<unsigned char, 256> LATIN1_FOLD = makeLatin1FoldTable();

inline unsigned char foldLatin1(unsigned char c)
{
    return LATIN1_FOLD[c];
}
