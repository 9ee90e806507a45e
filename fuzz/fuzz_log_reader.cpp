// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzCheck.h"

#include "common/LogRules.h"
#include "log/LogReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

// The input is read as: a mode byte; the date key (its length, then its bytes); the sizes in which the log's
// bytes are handed to the reader; the log's bytes. Lines across the reader's block ends are test_log's.
namespace
{

enum : std::uint8_t { INTERRUPT = 0x02 };

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::string bytes(std::size_t count)
    {
        count = std::min(count, size - pos);
        pos += count;
        return std::string(reinterpret_cast<const char*>(data) + pos - count, count);
    }
};

// Hands out the log in reads of the sizes the input chose, and is interrupted where it chose.
class PieceSource : public LogSource
{
public:
    PieceSource(std::string_view bytes, std::vector<std::uint8_t> sizes, bool interrupt)
        : m_bytes(bytes), m_sizes(std::move(sizes)), m_interrupt(interrupt)
    {
    }

    FUZZ_NO_COVERAGE long read(char* buffer, std::size_t size) override
    {
        const std::uint8_t chosen = m_sizes[m_next++ % m_sizes.size()];
        if (chosen == 0 && m_interrupt && !m_interrupted) {
            m_interrupted = true;
            errno = EINTR;
            return -1;
        }
        m_interrupted = false;
        const std::size_t wanted = chosen == 0xFF ? size : 1 + std::size_t(chosen) * chosen;
        const std::size_t n = std::min({wanted, size, m_bytes.size() - m_pos});
        std::memcpy(buffer, m_bytes.data() + m_pos, n);
        m_pos += n;
        return static_cast<long>(n);
    }

private:
    std::string_view m_bytes;
    std::vector<std::uint8_t> m_sizes;
    bool m_interrupt;
    bool m_interrupted = false;
    std::size_t m_next = 0;
    std::size_t m_pos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in{data, size};
    const std::uint8_t mode = in.byte();
    const std::string key = in.bytes(in.byte() % 17);

    std::vector<std::uint8_t> sizes(in.byte() % 8 + 1);
    for (std::uint8_t& chosen : sizes)
        chosen = in.byte();

    const std::string log = in.bytes(size);
    PieceSource source(log, sizes, (mode & INTERRUPT) != 0);
    const LogSearchResult found =
        findDateLines(source, QByteArray(key.data(), static_cast<qsizetype>(key.size())));
    const std::vector<std::string> expected = referenceLines(log, key);
    FUZZ_CHECK(found.error == 0 && found.lines.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        FUZZ_CHECK(found.lines[i].toStdString() == expected[i]);
    return 0;
}
