// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow/TextArena.h"

#include <cstring>

quint64 TextArena::append(const char* data, std::size_t size)
{
    // A full chunk takes nothing more, not even an empty text, whose position would lie past it.
    if (m_chunks.empty() || m_used + size > m_chunkSize || m_used == m_chunkSize) {
        m_chunks.push_back(std::make_unique<char[]>(m_chunkSize));
        m_used = 0;
    }
    std::memcpy(m_chunks.back().get() + m_used, data, size);
    const quint64 position = (m_firstChunk + m_chunks.size() - 1) * m_chunkSize + m_used;
    m_used += size;
    return position;
}

void TextArena::releaseBefore(quint64 position)
{
    // The last chunk stays: it is the one being filled.
    while (m_chunks.size() > 1 && (m_firstChunk + 1) * m_chunkSize <= position) {
        m_chunks.pop_front();
        ++m_firstChunk;
    }
}

void TextArena::clear()
{
    m_chunks.clear();
    m_firstChunk = 0;
    m_used = 0;
}
