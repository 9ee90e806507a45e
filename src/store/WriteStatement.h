// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSqlQuery>
#include <QString>

#include <cstddef>
#include <optional>

struct sqlite3_stmt;

// A prepared statement of the store's writer. On a file it goes through SQLite's own C API: Qt SQL's
// binding costs more than the insert itself, and the writer must keep up with the intake. On a server
// it is a QSqlQuery. Either way values are bound, never spliced into the text.
class WriteStatement
{
public:
    WriteStatement(QSqlDatabase& db, const QString& sql);
    WriteStatement(const WriteStatement&) = delete;
    WriteStatement& operator=(const WriteStatement&) = delete;
    ~WriteStatement();

    // Parameters count from 0.
    void bind(int index, qint64 value);
    // A field's Latin-1 text, stored as UTF-8 so that a UTF-8 database takes every byte. The text
    // must stay until exec() has run.
    void bindLatin1(int index, const char* text, std::size_t size);
    void bindUtf8(int index, const QByteArray& text); // as bindLatin1

    bool exec();
    QString error() const;

private:
    sqlite3_stmt* m_lite = nullptr;
    std::optional<QSqlQuery> m_query;
    QString m_error;
};
