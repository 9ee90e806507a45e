// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "log/LogReader.h"

#include <QByteArray>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>

// A log in memory, read in chunks of varying size drawn from `seed`; with `failAfter` set, reads
// fail with EIO after that many bytes, the way a disk does. For tests that link the log library.
class MemorySource : public LogSource
{
public:
    MemorySource(const QByteArray& data, quint32 seed, qsizetype failAfter = -1)
        : m_data(data), m_random(seed), m_end(failAfter < 0 ? data.size() : failAfter), m_fails(failAfter >= 0)
    {
    }
    long read(char* buffer, std::size_t size) override
    {
        if (m_pos == m_end && m_fails) {
            errno = EIO;
            return -1;
        }
        const qsizetype chunk =
            std::min<qsizetype>({qsizetype(size), m_end - m_pos, m_random.bounded(1, 300000)});
        std::memcpy(buffer, m_data.constData() + m_pos, chunk);
        m_pos += chunk;
        return long(chunk);
    }

private:
    QByteArray m_data;
    QRandomGenerator m_random;
    qsizetype m_end;
    bool m_fails;
    qsizetype m_pos = 0;
};
