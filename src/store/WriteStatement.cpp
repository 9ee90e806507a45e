// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/WriteStatement.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>

namespace
{

sqlite3* sqliteHandle(const QSqlDatabase& db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.constData());
}

} // namespace

WriteStatement::WriteStatement(QSqlDatabase& db, const QString& sql)
{
    if (sqlite3* lite = sqliteHandle(db)) {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v3(lite, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT, &m_lite,
                               nullptr) != SQLITE_OK)
            m_error = QString::fromUtf8(sqlite3_errmsg(lite));
        return;
    }
    m_query.emplace(db);
    m_query->prepare(sql);
}

WriteStatement::~WriteStatement()
{
    sqlite3_finalize(m_lite); // before the connection closes, which would otherwise stay busy
}

void WriteStatement::bind(int index, qint64 value)
{
    if (m_lite)
        sqlite3_bind_int64(m_lite, index + 1, value);
    else if (m_query)
        m_query->bindValue(index, value);
}

void WriteStatement::bindLatin1(int index, const char* text, std::size_t size)
{
    if (!m_lite) {
        if (m_query)
            m_query->bindValue(index, QString::fromLatin1(text, qsizetype(size)));
        return;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (std::all_of(bytes, bytes + size, [](unsigned char c) { return c < 0x80; })) { // already UTF-8
        // Not copied: every run binds all its values afresh, and `text` outlives the run.
        sqlite3_bind_text(m_lite, index + 1, text, int(size), SQLITE_STATIC);
        return;
    }
    const QByteArray utf8 = QString::fromLatin1(text, qsizetype(size)).toUtf8(); // seldom: Qt converts
    sqlite3_bind_text(m_lite, index + 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void WriteStatement::bindUtf8(int index, const QByteArray& text)
{
    if (m_lite)
        sqlite3_bind_text(m_lite, index + 1, text.constData(), int(text.size()), SQLITE_STATIC);
    else if (m_query)
        m_query->bindValue(index, QString::fromUtf8(text));
}

bool WriteStatement::exec()
{
    if (m_query) {
        const bool ok = m_query->exec();
        m_error = ok ? QString() : m_query->lastError().databaseText();
        return ok;
    }
    if (!m_lite)
        return false;
    const int step = sqlite3_step(m_lite);
    sqlite3_reset(m_lite);
    if (step == SQLITE_DONE)
        return true;
    m_error = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_lite)));
    return false;
}

QString WriteStatement::error() const
{
    return m_error;
}
