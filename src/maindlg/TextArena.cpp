#include "maindlg/TextArena.h"

#include <cstring>

quint32 TextArena::append(const char* data, std::size_t size)
{
    if (m_chunks.empty() || m_used + size > CHUNK_SIZE) {
        m_chunks.push_back(std::make_unique<char[]>(CHUNK_SIZE));
        m_used = 0;
    }
    std::memcpy(m_chunks.back().get() + m_used, data, size);
    const quint32 offset = static_cast<quint32>(((m_chunks.size() - 1) << CHUNK_BITS) | m_used);
    m_used += size;
    return offset;
}

void TextArena::clear()
{
    m_chunks.clear();
    m_used = 0;
}
