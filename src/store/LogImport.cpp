// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/LogImport.h"

#include "events/Address.h"
#include "events/EventCodes.h"
#include "log/LogReader.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr quint64 LINES_PER_TRANSACTION = 20000;
constexpr std::size_t READ_BLOCK = 1 << 20;

// The five fields of a log line: time, date, server, user and keyword, two blanks apart.
struct LogFields {
    QByteArray time;
    QByteArray date;
    quint32 server = 0;
    QByteArray user;
    quint32 code = 0;
    qint64 micros = 0; // the date and time in local time
};

std::optional<quint32> codeOfKeyword(QByteArrayView keyword)
{
    for (quint32 code = 0; *eventKeyword(code); ++code)
        if (keyword == eventKeyword(code))
            return code;
    return std::nullopt;
}

// A user name may hold blanks: the three fields before it and the keyword after it bound it.
bool parseLine(QByteArrayView line, LogFields& f)
{
    const qsizetype afterTime = line.indexOf("  ");
    const qsizetype afterDate = afterTime < 0 ? -1 : line.indexOf("  ", afterTime + 2);
    const qsizetype afterServer = afterDate < 0 ? -1 : line.indexOf("  ", afterDate + 2);
    const qsizetype beforeKeyword = line.lastIndexOf("  ");
    if (afterServer < 0 || beforeKeyword < afterServer + 2)
        return false;
    const std::optional<quint32> code = codeOfKeyword(line.sliced(beforeKeyword + 2));
    f.time = line.first(afterTime).toByteArray();
    f.date = line.sliced(afterTime + 2, afterDate - afterTime - 2).toByteArray();
    f.user = line.sliced(afterServer + 2, beforeKeyword - afterServer - 2).toByteArray();
    const QDate date = QDate::fromString(QString::fromLatin1(f.date), QStringLiteral("MM/dd/yyyy"));
    QTime time = QTime::fromString(QString::fromLatin1(f.time), QStringLiteral("H:mm:ss"));
    if (!time.isValid())
        time = QTime::fromString(QString::fromLatin1(f.time), QStringLiteral("H:mm"));
    if (!code || !date.isValid() || !time.isValid() ||
        !parseIPv4(QString::fromLatin1(line.sliced(afterDate + 2, afterServer - afterDate - 2)), f.server))
        return false;
    f.code = *code;
    f.micros = QDateTime(date, time).toMSecsSinceEpoch() * 1000;
    return true;
}

// How often each line came so far in a file. Identical lines share their date, so only the lines of
// the last two dates are kept (two, for servers whose clocks cross midnight apart).
class Occurrences
{
public:
    int next(const QByteArray& date, const QByteArray& line)
    {
        if (date != m_dates[0] && date != m_dates[1]) {
            m_dates[1] = std::exchange(m_dates[0], date);
            m_seen[1] = std::exchange(m_seen[0], {});
        }
        return ++m_seen[date == m_dates[0] ? 0 : 1][line];
    }

private:
    QByteArray m_dates[2];
    QHash<QByteArray, int> m_seen[2];
};

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString userName(uid_t uid)
{
    const passwd* user = ::getpwuid(uid);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

// Why this process may not write the store at `path`, as the one who should.
QString notOwner(const QString& path)
{
    const QFileInfo info(path);
    const bool exists = info.exists();
    const QString owned = exists ? path : info.absolutePath();
    struct stat st {
    };
    if (::stat(QFile::encodeName(owned).constData(), &st) != 0)
        return QStringLiteral("%1: %2").arg(owned, systemReason(errno));
    if (st.st_uid == ::geteuid())
        return {};
    return QStringLiteral("%1 belongs to %2: run the import as %2, so that the monitor can still write %3")
        .arg(exists ? QStringLiteral("it") : QStringLiteral("its folder"), userName(st.st_uid),
             exists ? QStringLiteral("it") : QStringLiteral("the new store"));
}

} // namespace

LogImport::LogImport() : m_connection(QStringLiteral("sorvane-import")) {}

LogImport::~LogImport()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QString LogImport::open(const QString& path, const QString& site)
{
    m_site = site.isEmpty() ? QSysInfo::machineHostName() : site;
    QString why = notOwner(path);
    if (why.isEmpty())
        why = m_lock.take(path);
    if (why.isEmpty())
        why = refusalOf(path, m_connection + QStringLiteral("-check"));
    if (!why.isEmpty())
        return why;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (why = openForWriting(db, path, m_site); !why.isEmpty())
        return why;
    // Live lines a monitor stored but had not yet indexed would not be found, and come in twice.
    QSqlQuery kept(QStringLiteral("SELECT count(*) FROM backlog"), db);
    if (!kept.next() || kept.value(0).toLongLong() > 0)
        return QStringLiteral("it holds events a monitor has not yet indexed: run the monitor until it has");
    return {};
}

QString LogImport::importLog(const QByteArray& log)
{
    QString failure;
    const int opened = readLogFiles(log, [&](LogSource& source, const QByteArray& file) {
        const QString why = importFile(source, file);
        if (failure.isEmpty())
            failure = why;
    });
    if (opened == 0)
        return QStringLiteral("%1: %2").arg(QFile::decodeName(log), systemReason(errno));
    return failure;
}

QString LogImport::importFile(LogSource& source, const QByteArray& file)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery count(db);
    count.prepare(
        QStringLiteral("SELECT count(*) FROM events WHERE date = ? AND time = ? AND user_name = ? AND "
                       "server = ? AND code = ? AND site = ?"));
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO events(arrival_us, site, header, code, user_name, group_name, "
                                  "address, server, login_time, date, time, imported) VALUES(?, ?, 0, ?, ?, "
                                  "'', 0, ?, '', ?, ?, 1)"));
    Occurrences occurrences;
    bool ok = db.transaction();
    quint64 inTransaction = 0;
    const auto take = [&](QByteArrayView line) {
        if (line.endsWith('\r'))
            line.chop(1);
        ++m_counts.read;
        LogFields f;
        if (!parseLine(line, f)) {
            ++m_counts.notUnderstood;
            return;
        }
        const int occurrence = occurrences.next(f.date, line.toByteArray());
        const QString user = QString::fromLatin1(f.user), date = QString::fromLatin1(f.date),
                      time = QString::fromLatin1(f.time);
        for (const QVariant& v : {QVariant(date), QVariant(time), QVariant(user), QVariant(qint64(f.server)),
                                  QVariant(qint64(f.code)), QVariant(m_site)})
            count.addBindValue(v);
        ok = ok && count.exec() && count.next();
        if (!ok || count.value(0).toLongLong() >= occurrence) {
            m_counts.present += ok;
            count.finish();
            return;
        }
        count.finish();
        for (const QVariant& v : {QVariant(f.micros), QVariant(m_site), QVariant(qint64(f.code)),
                                  QVariant(user), QVariant(qint64(f.server)), QVariant(date), QVariant(time)})
            insert.addBindValue(v);
        ok = ok && insert.exec();
        m_counts.added += ok;
        if (ok && ++inTransaction == LINES_PER_TRANSACTION) {
            ok = db.commit() && db.transaction();
            inTransaction = 0;
        }
    };
    QByteArray pending;
    std::vector<char> block(READ_BLOCK);
    long got = 0;
    while (ok && (got = source.read(block.data(), block.size())) > 0) {
        pending.append(block.data(), got);
        qsizetype start = 0;
        for (qsizetype end; ok && (end = pending.indexOf('\n', start)) >= 0; start = end + 1)
            take(QByteArrayView(pending).sliced(start, end - start));
        pending.remove(0, start);
    }
    const int readError = got < 0 ? errno : 0;
    if (ok && !pending.isEmpty())
        take(pending);
    ok = ok && db.commit();
    if (!ok) {
        const QString why = (insert.lastError().isValid() ? insert : count).lastError().databaseText();
        db.rollback();
        return QStringLiteral("%1: %2").arg(QFile::decodeName(file),
                                            why.isEmpty() ? db.lastError().databaseText() : why);
    }
    return readError ? QStringLiteral("%1: %2").arg(QFile::decodeName(file), systemReason(readError))
                     : QString();
}
