#pragma once

#include <QtGlobal>

#include <cstddef>
#include <memory>
#include <vector>

// Short texts packed into large chunks: a list of a million rows costs no allocation per row.
class TextArena
{
public:
    static constexpr int CHUNK_BITS = 20;
    static constexpr std::size_t CHUNK_SIZE = std::size_t(1) << CHUNK_BITS;

    // Stores `size` bytes (at most CHUNK_SIZE) in one piece; the offset finds them again.
    quint32 append(const char* data, std::size_t size);
    const char* at(quint32 offset) const
    {
        return m_chunks[offset >> CHUNK_BITS].get() + (offset & (CHUNK_SIZE - 1));
    }
    void clear();
    std::size_t bytesUsed() const { return m_chunks.size() * CHUNK_SIZE; }

private:
    std::vector<std::unique_ptr<char[]>> m_chunks;
    std::size_t m_used = 0; // in the last chunk
};
