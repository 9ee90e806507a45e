// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Datagrams.h"
#include "events/EventRecord.h"
#include "events/OnlineUsers.h"

#include <QTest>

namespace
{

// Who is online in table order, as USER@SERVER (the last numbers of 10.1.0.USER and 10.0.0.SERVER);
// marks an entry that is not a log-on or that a lookup by its key does not find.
QString walk(const OnlineUserTable& table)
{
    QStringList users;
    for (const OnlineUser& entry : table)
        users << QString::asprintf("%s@%s%s%s", entry.IPAddress + 7, entry.ServerIPAddress + 7,
                                   entry.EventCode == LoggedOn ? "" : "<not a log-on>",
                                   table.find(entry.IPAddress) == &entry ? "" : "<not found>");
    if (std::size_t(users.size()) != table.size())
        users << "<size disagrees>";
    return users.join(' ');
}

} // namespace

class EventsTest : public QObject
{
    Q_OBJECT

private slots:
    void addressesAndPortsAreReadStrictly()
    {
        // "ADDRESS[:PORT]" with a default port (0: one is required): whether it is read, and the address (in
        // host order) and port after it; a refused text leaves both untouched.
        const auto read = [](const QString& text, quint16 defaultPort) {
            quint32 address = 0x01020304;
            quint16 port = 7;
            const bool ok = parseAddressPort(text, address, port, defaultPort);
            return QStringLiteral("%1 %2:%3").arg(ok).arg(address, 0, 16).arg(port);
        };
        QCOMPARE(read("127.255.255.255:40000", 1019), "1 7fffffff:40000");
        QCOMPARE(read("255.255.255.255", 1019), "1 ffffffff:1019");
        QCOMPARE(read("0.0.0.0:65535", 0), "1 0:65535");
        QCOMPARE(read("10.0.0.1", 0), "0 1020304:7");
        for (const QString& text :
             QStringLiteral("|127.0.0|127.0.0.1.1|127.0.0.256|127..0.1|127.0.0.1:|127.0.0.1:0|"
                            "127.0.0.1:65536|127.0.0.1:1:2|127.0.0.1:+80| 127.0.0.1|"
                            "127.0.0.010|0x7f.0.0.1|127.1")
                 .split('|'))
            QVERIFY2(read(text, 1019) == "0 1020304:7", qPrintable(text));
    }

    void allowedSendersAreAddressesAndBlocks()
    {
        AllowList list;
        QVERIFY(list.allows(0x01020304)); // empty: every sender
        QString bad;
        for (const char* junk : {"", "10.0.0.0/33", "10.0.0.0/", "10.0.0.1,,10.0.0.2", "10.0.0.0/+8", "host"})
            QVERIFY2(!list.parse(QString::fromLatin1(junk), &bad) && list.isEmpty(), junk);
        QCOMPARE(bad, QStringLiteral("host"));
        QVERIFY(list.parse(QStringLiteral(" 10.1.0.0/16 , 192.168.1.7,172.16.0.1/0")));
        QCOMPARE(list.text(), QStringLiteral("10.1.0.0/16, 192.168.1.7, 172.16.0.1/0"));
        QVERIFY(list.allows(0xAC000000));
        QVERIFY(list.parse(QStringLiteral("10.1.255.255/16,192.168.1.7")));
        const QList<quint32> allowed{0x0A010000, 0x0A01FFFF, 0xC0A80107};
        for (const quint32 address :
             {0x0A010000u, 0x0A01FFFFu, 0xC0A80107u, 0x0A020000u, 0xC0A80106u, 0x0B010000u})
            QCOMPARE(list.allows(address), allowed.contains(address));
    }

    void eventsDecideWhoIsOnline()
    {
        // "EVENTS=ONLINE|SESSIONS": events "CODE USER SERVER" (CODE a keyword or a number; USER the
        // address's last number, ".NAME" for another user there; SERVER as walk() names them). Each
        // removal, from any server; a reboot removes its own server's users; a log-on again moves to
        // the end, at the last server; failed attempts and other codes change nothing. Sessions start
        // ("+") and end ("-", with the keyword or code that ends them) by the same rules.
        for (const char* row :
             {"LoggedOn 1 3; LoggedOn 2 3; LoggedOn 3 3; LoggedOn 4 3; LoggedOff 1 3; AccountMarkedForLockUp "
              "2 20;"
              "AccessTimeExpired 3 3; LoggedOff 9 3; LoggedOn 1 20; LoggedOff 1 9=4@3|+1@3 +2@3 +3@3 +4@3 "
              "-1@3:LoggedOff -2@3:AccountMarkedForLockUp -3@3:AccessTimeExpired +1@20 -1@20:LoggedOff",
              "LoggedOn 1 3; LoggedOn 2 20; LoggedOn 3 3; FirewallRebooted 0 20; FirewallRebooted 0 9;"
              "LoggedOn 4 20=1@3 3@3 4@20|+1@3 +2@20 +3@3 -2@20:FirewallRebooted +4@20",
              "LoggedOn 1 3; LoggedOn 12 20; LoggedOn 2 20; LoggedOn 1 20; FirewallRebooted 0 3; LoggedOn 2 "
              "20;"
              "LoggedOn 2.b 20=12@20 1@20 2@20|+1@3 +12@20 +2@20 -1@3:LoggedOn +1@20 -2@20:LoggedOn +2@20",
              "LoggedOn 1 3; LoggedOn 2 20; TryingInvalidPasswords 1 3; TryingInvalidPasswords 2 3;"
              "AccountLockedUp 1 20; TryingInvalidUserNames 2 20; AccountIsDisabled 1 3;"
              "AccessingFilteredSites 2 9; 12 1 3; 255 2 20=1@3 2@20|+1@3 +2@20"}) {
            const QStringList events = QString(row).section('=', 0, 0).split(';');
            OnlineUsers users;
            QStringList sessions;
            const auto at = [](const OnlineUser& u) {
                return QString("%1@%2").arg(u.IPAddress + 7, u.ServerIPAddress + 7);
            };
            users.sessions.starts = [&](const OnlineUser& u) { sessions << '+' + at(u); };
            users.sessions.ends = [&](const OnlineUser& u, const EventRecord& cause) {
                sessions << '-' + at(u) + ':' + eventKeyword(cause.EventCode);
            };
            for (const QString& event : events) {
                const QStringList w = event.trimmed().split(' ');
                EventRecord record;
                bool number = false;
                record.EventCode = w[0].toUInt(&number);
                while (!number && record.EventCode < EVENT_CODE_COUNT &&
                       w[0] != eventKeyword(record.EventCode))
                    ++record.EventCode;
                QVERIFY2(number || record.EventCode < EVENT_CODE_COUNT, qPrintable(w[0]));
                setField(record.Username, USERNAME_WIDTH, "u" + w[1].toLatin1());
                record.IPAddress = ip(10, 1, 0, quint8(w[1].section('.', 0, 0).toUInt()));
                record.ServerIPAddress = ip(10, 0, 0, quint8(w[2].toUInt()));
                users.apply(record);
            }
            QCOMPARE(walk(users.table()) + '|' + sessions.join(' '), QString(row).section('=', 1));
        }
        // A batch is told as one, its changes between a beginning and an end, so a view lays out once.
        OnlineUsers users;
        QString told;
        users.listener = {
            [&] { told += '['; }, [&](const OnlineChange&) { told += '+'; }, [&] { told += ']'; }, {}};
        EventRecord on, tried; // a log-on, and what changes nothing
        tried.EventCode = TryingInvalidPasswords;
        users.apply(EventBatch{{on, tried, on}});
        QCOMPARE(told, "[++]");
    }
};

QTEST_MAIN(EventsTest)
#include "tst_events.moc"
