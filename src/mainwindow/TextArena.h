// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <cstddef>
#include <deque>
#include <memory>

// Short texts packed into large chunks: a list of a million rows costs no allocation per row.
// Positions count every byte ever stored, so they never wrap in any run; chunks whose texts are
// all released are freed.
class TextArena
{
public:
    explicit TextArena(std::size_t chunkSize = std::size_t(1) << 20) : m_chunkSize(chunkSize) {}

    // Stores `size` bytes (at most the chunk size) in one piece; the position finds them again.
    quint64 append(const char* data, std::size_t size);
    const char* at(quint64 position) const
    {
        return m_chunks[position / m_chunkSize - m_firstChunk].get() + position % m_chunkSize;
    }
    // Frees every chunk that ends at or before `position`.
    void releaseBefore(quint64 position);
    void clear();
    std::size_t bytesUsed() const { return m_chunks.size() * m_chunkSize; }

private:
    std::size_t m_chunkSize;
    std::deque<std::unique_ptr<char[]>> m_chunks;
    quint64 m_firstChunk = 0; // number of the first chunk still held
    std::size_t m_used = 0;   // in the last chunk
};
