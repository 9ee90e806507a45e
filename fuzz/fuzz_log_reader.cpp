#include "FuzzCheck.h"

#include "common/LogRules.h"
#include "log/LogReader.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The input is read as: a mode byte; the date key; the sizes in which the log's bytes are handed to
// the reader; for a long line, where it goes; the log's bytes.
namespace
{

constexpr std::size_t READER_BLOCK = 8 << 20; // the reader's block: long-line inputs straddle it
constexpr std::size_t PIECE = LOG_PIECE_LENGTH;

constexpr std::uint8_t RAW_KEY = 0x01;
constexpr std::uint8_t INTERRUPT = 0x02;
constexpr std::uint8_t LONG_LINE_MASK = 0xF0;
constexpr std::uint8_t LONG_LINE = 0xA0;

// As the History window offers them; February has its 29th.
constexpr int DAYS_IN_MONTH[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    std::string bytes(std::size_t count)
    {
        count = std::min(count, m_size - m_pos);
        std::string out(reinterpret_cast<const char*>(m_data) + m_pos, count);
        m_pos += count;
        return out;
    }

    std::string rest() { return bytes(m_size - m_pos); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// The History window's key, "%02d/%s/%s" of the month, the Day box's text and the Year box's text;
// the window builds it in a private member, so it is formed here the same way.
std::string historyKey(Input& in)
{
    const int month = in.byte() % 12 + 1;
    const int day = in.byte() % DAYS_IN_MONTH[month - 1] + 1;
    const int year = (in.byte() << 8 | in.byte()) % 10000;
    char dayText[12];
    char yearText[12];
    std::snprintf(dayText, sizeof dayText, "%02d", day);
    std::snprintf(yearText, sizeof yearText, "%04d", year);
    char key[40];
    const int length = std::snprintf(key, sizeof key, "%02d/%s/%s", month, dayText, yearText);
    FUZZ_CHECK(length == 10);
    return std::string(key, static_cast<std::size_t>(length));
}

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
        FUZZ_CHECK(size > 0);
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

// forEachLogLine hands out the lines in order, and they and their ends make up the whole log.
void checkLines(std::string_view log)
{
    const std::vector<RawLine> expected = rawLines(log);
    std::size_t next = 0;
    forEachLogLine(log, [&](std::string_view line) {
        FUZZ_CHECK(next < expected.size());
        FUZZ_CHECK(line == expected[next].text);
        ++next;
    });
    FUZZ_CHECK(next == expected.size());
}

// Every piece splitLogLine reports is within the piece length, free of "#", and its date field is
// the second run of the piece.
void checkPieces(std::string_view line)
{
    std::size_t count = 0;
    splitLogLine(line, [&](const LogPiece& piece) {
        ++count;
        FUZZ_CHECK(!piece.shown.empty() && piece.shown.size() <= PIECE);
        FUZZ_CHECK(piece.shown.find('#') == std::string_view::npos);
        FUZZ_CHECK(piece.shown.data() >= line.data() &&
                   piece.shown.data() + piece.shown.size() <= line.data() + line.size());
        FUZZ_CHECK(static_cast<std::size_t>(piece.shown.data() - line.data()) % PIECE == 0);
        const std::size_t at = static_cast<std::size_t>(piece.shown.data() - line.data());
        const std::string_view date = nthRun(line.substr(at, PIECE), 1);
        FUZZ_CHECK(piece.hasDate == !date.empty());
        FUZZ_CHECK(piece.dateField == date);
    });
    FUZZ_CHECK(count <= (line.size() + PIECE - 1) / PIECE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const std::uint8_t mode = in.byte();
    const std::string key = mode & RAW_KEY ? in.bytes(in.byte() % 17) : historyKey(in);

    std::vector<std::uint8_t> sizes(in.byte() % 8 + 1);
    for (std::uint8_t& chosen : sizes)
        chosen = in.byte();

    // Kept from one run to the next: a fresh 8 MiB string a run would cost more than the search.
    static std::string log;
    if ((mode & LONG_LINE_MASK) == LONG_LINE) {
        // A run without a line end that reaches the reader's block end, near the chosen spot.
        const std::size_t split = static_cast<std::size_t>(in.byte() << 8 | in.byte());
        const int shift = static_cast<std::int8_t>(in.byte());
        const char filler = " x#\r"[in.byte() % 4];
        const std::string rest = in.rest();
        const std::size_t head = std::min(split, rest.size());
        log.assign(rest, 0, head);
        log.append(static_cast<std::size_t>(static_cast<long>(READER_BLOCK - head) + shift), filler);
        log.append(rest, head, std::string::npos);
    } else {
        log = in.rest();
    }

    PieceSource source(log, sizes, (mode & INTERRUPT) != 0);
    const LogSearchResult found =
        findDateLines(source, QByteArray(key.data(), static_cast<qsizetype>(key.size())));
    FUZZ_CHECK(found.error == 0);
    const std::vector<std::string> expected = referenceLines(log, key);
    FUZZ_CHECK(found.lines.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        FUZZ_CHECK(found.lines[i].toStdString() == expected[i]);

    if (log.size() < READER_BLOCK) {
        checkLines(log);
        for (const RawLine& line : rawLines(log))
            checkPieces(line.text);
    }
    return 0;
}
