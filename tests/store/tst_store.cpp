// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "common/Files.h"
#include "store/EventStore.h"
#include "store/LogImport.h"
#include "store/StoreFile.h"
#include "store/StoreReader.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

namespace
{

constexpr qint64 DAY_US = qint64(86400) * 1000000;

// Every row of `sql` on the store at `path`, its values joined by '|'.
QStringList rows(const QString& path, const QString& sql)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reader");
        db.setDatabaseName(path);
        QSqlQuery query(db.open() ? db : QSqlDatabase());
        query.exec(sql);
        while (query.next()) {
            QStringList values;
            for (int i = 0; i < query.record().count(); ++i)
                values << (query.isNull(i) ? "NULL" : query.value(i).toString());
            rows << values.join('|');
        }
    }
    QSqlDatabase::removeDatabase("reader");
    return rows;
}

StoreOptions at(const QString& path, quint64 minFree = StoreOptions().minFreeBytes)
{
    StoreOptions options;
    options.path = path;
    options.minFreeBytes = minFree;
    return options;
}

EventBatch batchAt(qint64 arrival, const QByteArray& user = "alice")
{
    return {{decodeEvent(eventDatagram(LoggedOn, user).constData(), 157)}, arrival, 0};
}

} // namespace

class StoreTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void keepsEveryFieldAndTheRuns_data()
    {
        QTest::addColumn<bool>("keptBack");
        QTest::newRow("written as it comes") << false;
        QTest::newRow("kept back, indexed by the next start") << true;
    }

    void keepsEveryFieldAndTheRuns()
    {
        QFETCH(bool, keptBack);
        const QString path = m_dir.filePath(keptBack ? "kept.db" : "fields.db");
        const struct {
            quint8 code;
            QByteArray user;
            const char* row;
        } events[] = {
            {LoggedOn, "alice", "0|alice|Gr\u00fcn|167772161"},
            {200, "Jos\xe9", "200|Jos\u00e9|Gr\u00fcn|167772162"}, // no such code: kept as it came
            {LoggedOff, "bob", "1|bob|Gr\u00fcn|167772163"},
        };
        EventBatch batch{{}, 1700000000123456, 0};
        for (const auto& e : events)
            batch.events.push_back(decodeEvent(
                eventDatagram(e.code, e.user, "Gr\xfcn", ip(10, 0, 0, quint8(batch.events.size() + 1)),
                              ip(192, 168, 1, 254), "12/06/2026", "10:00:00", "09:59", 7)
                    .constData(),
                157));
        StoreOptions options = at(path);
        options.site = "site-a";
        StoreOptions behind = options; // as under a flood that never ends before the stop
        behind.directEvents = 0;
        behind.catchUpMs = 0;
        auto store = std::make_unique<EventStore>(keptBack ? behind : options);
        store->storeEvents(batch);
        store->storeAlert({1700000000999999, "account-locked", ip(192, 168, 1, 254), ip(10, 0, 0, 1),
                           "Jos\xe9", "account locked: Jos\xe9"});
        // alice's session ends with her log-off; Jos\xe9's is open when the monitor stops.
        std::vector<SessionChange> sessions;
        for (int i = 0; i < 3; ++i)
            sessions.push_back(
                {i != 1, 1700000000000000 + i, makeOnlineUser(batch.events[i / 2]), "LoggedOff"});
        store->storeSessions(sessions);
        QCOMPARE(rows(path, "SELECT site, stopped_us FROM monitor_runs"), QStringList("site-a|NULL"));
        QVERIFY(store->finish(QDeadlineTimer(10000)));
        store.reset();
        if (keptBack) {
            QCOMPARE(rows(path, "SELECT count(*) FROM events UNION ALL SELECT sum(events) FROM backlog"),
                     QStringList({"0", "3"}));
            QCOMPARE(LogImport().open(path, "site-a"),
                     "it holds events a monitor has not yet indexed: run the monitor until it has");
            StoreOptions again = options;
            again.keepDays = 0; // these times are years old
            store = std::make_unique<EventStore>(again);
            QTRY_COMPARE(rows(path, "SELECT count(*) FROM backlog"), QStringList("0"));
            QVERIFY(store->finish(QDeadlineTimer(10000)));
            store.reset();
        }
        QStringList expected;
        for (const auto& e : events)
            expected << QStringLiteral("1700000000123456|site-a|7|%1|3232236030|09:59|12/06/2026|10:00:00")
                            .arg(QString::fromUtf8(e.row));
        QCOMPARE(rows(path, "SELECT arrival_us, site, header, code, user_name, group_name, address, server, "
                            "login_time, date, time FROM events ORDER BY id"),
                 expected);
        QCOMPARE(rows(path, "SELECT arrival_us, site, rule, server, user_name, address, text FROM alerts"),
                 QStringList("1700000000999999|site-a|account-locked|3232236030|Jos\u00e9|167772161|"
                             "account locked: Jos\u00e9"));
        QCOMPARE(rows(path, "SELECT count(*) FROM monitor_runs WHERE stopped_us >= started_us"),
                 QStringList{keptBack ? "2" : "1"});
        // The site's events are counted in its segment, however they reached the tables.
        QCOMPARE(rows(path, "SELECT segment, events FROM segments JOIN (SELECT DISTINCT segment FROM events) "
                            "ON id = segment WHERE site = 'site-a'"),
                 QStringList("1|3"));
        QCOMPARE(
            rows(path,
                 "SELECT user_name, address, server, started_us, ended_us > started_us, how FROM sessions"),
            QStringList({"alice|167772161|3232236030|1700000000000000|1|LoggedOff",
                         "Jos\u00e9|167772162|3232236030|1700000000000002|1|monitor stopped"}));
        QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                               QFile::WriteUser | QFile::ReadGroup);

        // Another start drops what is older than its days, and keeps the rest; it ends the sessions a
        // killed monitor left open at that monitor's last stored event.
        store = std::make_unique<EventStore>(options);
        const qint64 recent = QDateTime::currentMSecsSinceEpoch() * 1000 - 399 * DAY_US;
        store->storeEvents(batchAt(recent - 2 * DAY_US));
        store->storeEvents(batchAt(recent));
        QVERIFY(store->finish(QDeadlineTimer(10000)));
        // An old imported row comes after more than a step of recent ones: it goes all the same, and it
        // is not the monitor's last event.
        rows(path,
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) INSERT INTO "
             "events(arrival_us, site, header, code, user_name, group_name, address, server, login_time, "
             "date, time) SELECT arrival_us, site, 0, 0, '', '', 0, 0, '', '', '' FROM events, n WHERE "
             "arrival_us = " +
                 QString::number(recent));
        rows(
            path,
            "INSERT INTO events SELECT NULL, 1, site, 0, 0, '', '', 0, 0, '', '', '', 1 FROM events LIMIT 1");
        rows(path,
             "INSERT INTO sessions(site, user_name, group_name, address, server, login_time, started_us, "
             "ended_us) VALUES('site-a', 'carl', '', 1, 2, '', 5, NULL), ('site-a', 'dora', '', 1, 2, '', 5, "
             "6)");
        store = std::make_unique<EventStore>(options);
        QTRY_COMPARE(rows(path, "SELECT count(*) FROM events"), QStringList{"2001"}); // its thread prunes
        QTRY_COMPARE(rows(path, "SELECT user_name, ended_us, how FROM sessions WHERE started_us = 5"),
                     QStringList("carl|" + QString::number(recent) + "|monitor ended unexpectedly"));
        QCOMPARE(rows(path, "SELECT count(*) FROM monitor_runs WHERE stopped_us IS NULL"), QStringList{"1"});

        // Every byte but NUL, read as Latin-1 into UTF-8.
        EventBatch all{{}, 1, 0};
        for (int part = 0; part < 7; ++part)
            all.events.push_back(
                decodeEvent(eventDatagram(LoggedOn, everyByte().mid(40 * part, 40)).constData(), 157));
        EventStore bytes(at(m_dir.filePath("bytes.db")));
        bytes.storeEvents(all);
        QVERIFY(bytes.finish(QDeadlineTimer(10000)));
        QCOMPARE(
            rows(m_dir.filePath("bytes.db"), "SELECT user_name FROM events ORDER BY id").join("").toLatin1(),
            everyByte());
    }

    void refusesWhatItMayNotWrite()
    {
        const QString random = m_dir.filePath("random.db"), foreign = m_dir.filePath("foreign.db"),
                      newer = m_dir.filePath("newer.db"), held = m_dir.filePath("held.db");
        QVERIFY(writeFileBytes(random, QByteArray("SQLite format 3").repeated(3) + QByteArray(4000, '\x5a')));
        QVERIFY(rows(foreign, "CREATE TABLE notes(text)").isEmpty());
        const EventStore holder(at(held));
        EventStore(at(newer)).finish(QDeadlineTimer(10000));
        QVERIFY(rows(newer, QString("PRAGMA user_version = %1").arg(STORE_SCHEMA_VERSION + 1)).isEmpty());
        const struct {
            QString path;
            QString reason;
        } cases[] = {
            {random, "not an SQLite database"},
            {foreign, "not a Sorvane store"},
            {newer, QString("written by a newer Sorvane (schema %1; this one knows up to %2)")
                        .arg(STORE_SCHEMA_VERSION + 1)
                        .arg(STORE_SCHEMA_VERSION)},
            {held, "locked by another running monitor"},
        };
        for (const auto& c : cases) {
            const QByteArray before = fileBytes(c.path);
            EventStore store(at(c.path));
            store.storeEvents(batchAt(1));
            QCOMPARE(store.condition(), "store " + c.path + ": " + c.reason);
            QCOMPARE(store.notStored(), 1u);
            QCOMPARE(fileBytes(c.path), before);
            // A reader refuses the same, but reads beside a running monitor.
            QCOMPARE(StoreReader().open(c.path), c.path == held ? QString() : c.reason);
        }
        QCOMPARE(StoreReader().open(m_dir.filePath("missing.db")), "no such file");
        // No room on its file system: it pauses, and what comes meanwhile is not stored.
        EventStore full(at(m_dir.filePath("full.db"), ~quint64(0)));
        full.storeEvents(batchAt(1));
        QTRY_COMPARE(full.notStored(), 1u);
        QCOMPARE(full.condition(), "store " + m_dir.filePath("full.db") +
                                       ": paused, less than 1 GiB or 5 % free on its file system");
    }

    void answersQuestions()
    {
        const QString path = m_dir.filePath("asked.db");
        auto store = std::make_unique<EventStore>(at(path));
        for (const qint64 arrival : {300, 100, 200})
            store->storeEvents(batchAt(arrival, arrival == 200 ? "bob" : "alice"));
        QVERIFY(store->finish(QDeadlineTimer(10000)));
        store.reset();
        rows(path, "UPDATE events SET imported = 1, site = 'b' WHERE arrival_us = 300");
        rows(path,
             "INSERT INTO sessions(site, user_name, group_name, address, server, login_time, started_us, "
             "ended_us, how) VALUES('a', 'alice', 'g', 7, 9, 'L', 100, 200, 'LoggedOff'), ('a', 'bob', "
             "'g', 7, 9, 'L', 200, NULL, NULL), ('b', 'carl', 'g', 8, 6, 'L', 50, 300, 'LoggedOff')");
        StoreReader reader;
        QCOMPARE(reader.open(path), QString());
        const auto sessions = [&](StoreQuery q) {
            QStringList found;
            const QString why = reader.sessions(q, [&](const std::vector<StoredSession>& chunk) {
                for (const StoredSession& s : chunk)
                    found << QStringLiteral("%1 %2-%3 %4")
                                 .arg(s.user)
                                 .arg(s.startMicros)
                                 .arg(s.endMicros ? QString::number(*s.endMicros) : "open", s.how);
                return true;
            });
            return why.isEmpty() ? found : QStringList(why);
        };
        QCOMPARE(sessions({{}, 7, {}, {}, {}, 150, {}}), QStringList("alice 100-200 LoggedOff"));
        QCOMPARE(sessions({{}, 7, {}, {}, {}, 200, {}}), QStringList("bob 200-open "));
        QCOMPARE(sessions({{}, {}, 9, 250, 400, {}, {}}), QStringList("bob 200-open "));
        QCOMPARE(sessions({{}, {}, {}, 250, 400, {}, {}}),
                 QStringList({"carl 50-300 LoggedOff", "bob 200-open "}));
        QCOMPARE(sessions({"carl", {}, {}, {}, 50, {}, {}}), QStringList());
        QCOMPARE(sessions({{}, {}, {}, {}, {}, {}, "b"}), QStringList("carl 50-300 LoggedOff"));
        std::vector<UserTotal> totals;
        QCOMPARE(reader.totals({{}, {}, {}, 150, 400, {}, {}}, 500, totals), QString());
        QStringList summed;
        for (const UserTotal& t : totals)
            summed << QStringLiteral("%1 %2 %3").arg(t.user).arg(t.sessions).arg(t.micros);
        QCOMPARE(summed, QStringList({"alice 1 50", "bob 1 200", "carl 1 150"}));
        QStringList events;
        QCOMPARE(reader.events({{}, {}, {}, 100, 301, {}, {}},
                               [&](const std::vector<StoredEvent>& chunk) {
                                   for (const StoredEvent& e : chunk)
                                       events << e.user + QString::number(e.arrivalMicros) + e.site +
                                                     (e.imported ? "i" : "");
                                   return false; // one chunk is all
                               }),
                 QString());
        const QString site = QSysInfo::machineHostName();
        QCOMPARE(events, QStringList({"alice100" + site, "bob200" + site, "alice300bi"}));
    }
};

QTEST_GUILESS_MAIN(StoreTest)
#include "tst_store.moc"
