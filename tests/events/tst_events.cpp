#include "events/EventRecord.h"
#include "events/OnlineUserTable.h"

#include <QTest>

#include <cstring>

namespace
{

// A datagram built by offset, the way a firewall server lays it out.
struct Datagram {
    QByteArray bytes = QByteArray(157, '\0');
    Datagram& at(int offset, const QByteArray& data)
    {
        std::memcpy(bytes.data() + offset, data.constData(), data.size());
        return *this;
    }
    EventRecord decode() const { return decodeEvent(bytes.constData(), bytes.size()); }
};

// Every field of a record in one line, so that a mismatch shows all of them.
QByteArray describe(const EventRecord& r)
{
    return QByteArray::number(r.Header) + '|' + QByteArray::number(r.EventCode) + '|' + r.Username + '|' +
           r.Groupname + '|' + r.LoginTime + '|' + FormatIPAddress(r.IPAddress) + '|' +
           FormatIPAddress(r.ServerIPAddress) + '|' + r.Date + '|' + r.EventTime;
}

Datagram sample()
{
    return Datagram()
        .at(0, QByteArray::fromHex("AA05BB04"))
        .at(4, "alice")
        .at(44, "staff")
        .at(84, "08:14:59")
        .at(99, QByteArray::fromHex("0A000001C0A8010A"))
        .at(107, "12/05/1999")
        .at(132, "08:15:02");
}

OnlineUser user(const char* address, const char* server = "192.168.1.1", const char* name = "u")
{
    OnlineUser entry;
    setField(entry.Username, USERNAME_WIDTH, name);
    setField(entry.IPAddress, ADDRESS_FIELD_SIZE - 1, address);
    setField(entry.ServerIPAddress, ADDRESS_FIELD_SIZE - 1, server);
    return entry;
}

OnlineUserTable tableOf(const QByteArrayList& addresses)
{
    OnlineUserTable table;
    for (const QByteArray& address : addresses)
        table.AddOrUpdateUser(user(address.constData()));
    return table;
}

// The walk order; marks any entry that a lookup by its key does not find.
QByteArrayList walk(const OnlineUserTable& table)
{
    QByteArrayList keys;
    for (const OnlineUser& entry : table)
        keys << QByteArray(entry.IPAddress) + (table.find(entry.IPAddress) == &entry ? "" : "<not found>");
    if (std::size_t(keys.size()) != table.size())
        keys << "<size disagrees>";
    return keys;
}

} // namespace

class EventsTest : public QObject
{
    Q_OBJECT

private slots:
    void fullDatagramYieldsEveryField();
    void bytesZeroAndTwoHaveNoEffect();
    void fullWidthTextsAreTakenWholeAndNeighboursKeepTheirs();
    void bytesAfterNulInsideFieldAreIgnored();
    void shortDatagramReadsMissingBytesAsZero();
    void encodedRecordDecodesBack();
    void addressIsDottedFirstByteFirst();
    void codesPastTheTablesGiveEmptyKeywordAndUnknownText();
    void addressesAndPortsAreReadStrictly_data();
    void addressesAndPortsAreReadStrictly();

    void arrivalOrderSurvivesUpdatesAndRemovals();
    void removalsOfAbsentKeysChangeNothing();
    void addressesDifferingInAnyByteAreTwoKeys();
    void serverRebootRemovesOnlyThatServersEntries();
};

void EventsTest::fullDatagramYieldsEveryField()
{
    const QByteArray expected = "5|4|alice|staff|08:14:59|10.0.0.1|192.168.1.10|12/05/1999|08:15:02";
    QCOMPARE(describe(sample().decode()), expected);
    const QByteArray longer = sample().bytes + QByteArray(512 - 157, 'x');
    QCOMPARE(describe(decodeEvent(longer.constData(), longer.size())), expected);
}

void EventsTest::bytesZeroAndTwoHaveNoEffect()
{
    const EventRecord record = Datagram().at(0, QByteArray::fromHex("01070100")).decode();
    QCOMPARE(record.Header, 7u);
    QCOMPARE(record.EventCode, quint32(LoggedOn));
}

void EventsTest::fullWidthTextsAreTakenWholeAndNeighboursKeepTheirs()
{
    const int offsets[] = {4, 44, 84, 107, 132};
    const int widths[] = {40, 40, 15, 25, 25};
    for (int full = 0; full < 5; ++full) {
        Datagram d;
        d.at(99, QByteArray::fromHex("0102030405060708"));
        QByteArray expected[] = {"u", "g", "l", "d", "t"};
        expected[full] = QByteArray(widths[full], char('A' + full));
        for (int i = 0; i < 5; ++i)
            d.at(offsets[i], expected[i]);
        QCOMPARE(describe(d.decode()), "0|0|" + expected[0] + '|' + expected[1] + '|' + expected[2] +
                                           "|1.2.3.4|5.6.7.8|" + expected[3] + '|' + expected[4]);
    }
}

void EventsTest::bytesAfterNulInsideFieldAreIgnored()
{
    const EventRecord r =
        sample().at(4, QByteArray("bob\0junk", 8)).at(107, QByteArray("1\0\xFF#", 4)).decode();
    QCOMPARE(QByteArray(r.Username), QByteArray("bob"));
    QCOMPARE(QByteArray(r.Date), QByteArray("1"));
}

void EventsTest::shortDatagramReadsMissingBytesAsZero()
{
    // Whatever the buffer holds past the received length must not show up in the record.
    QByteArray buffer(512, '\xEE');
    std::memcpy(buffer.data(), sample().bytes.constData(), 46);
    QCOMPARE(describe(decodeEvent(buffer.constData(), 46)), QByteArray("5|4|alice|st||0.0.0.0|0.0.0.0||"));
    QCOMPARE(describe(decodeEvent(buffer.constData(), 0)), QByteArray("0|0||||0.0.0.0|0.0.0.0||"));
}

void EventsTest::encodedRecordDecodesBack()
{
    EventRecord record;
    record.Header = 3;
    record.EventCode = AccessTimeExpired;
    setField(record.Username, USERNAME_WIDTH, QByteArray(40, 'n'));
    setField(record.Groupname, GROUPNAME_WIDTH, "\xE9quipe #2");
    setField(record.LoginTime, LOGINTIME_WIDTH, QByteArray(15, '9'));
    record.IPAddress = ipAddressFromBytes(255, 0, 10, 1);
    record.ServerIPAddress = ipAddressFromBytes(127, 0, 0, 1);
    setField(record.Date, DATE_WIDTH, "01/31/2026");
    setField(record.EventTime, EVENTTIME_WIDTH, QByteArray(25, 't'));

    const QByteArray datagram = encodeEvent(record);
    QCOMPARE(datagram.size(), 157);
    QCOMPARE(describe(decodeEvent(datagram.constData(), datagram.size())), describe(record));
}

void EventsTest::addressIsDottedFirstByteFirst()
{
    const QList<QPair<QByteArray, QByteArray>> cases = {{"C0A8010A", "192.168.1.10"},
                                                        {"FFFFFFFF", "255.255.255.255"},
                                                        {"00000000", "0.0.0.0"},
                                                        {"0A000007", "10.0.0.7"}};
    for (const auto& [hex, dotted] : cases) {
        const EventRecord r = Datagram().at(103, QByteArray::fromHex(hex)).decode();
        QCOMPARE(FormatIPAddress(r.ServerIPAddress), dotted);
    }
}

void EventsTest::codesPastTheTablesGiveEmptyKeywordAndUnknownText()
{
    QCOMPARE(QByteArray(eventKeyword(AccessTimeExpired)), QByteArray("AccessTimeExpired"));
    for (int code : {10, 11, 128, 255}) {
        const EventRecord r = Datagram().at(3, QByteArray(1, char(code))).decode();
        QCOMPARE(r.EventCode, quint32(code));
        QCOMPARE(QByteArray(eventKeyword(r.EventCode)), QByteArray());
        QCOMPARE(eventMessage(r.EventCode), " Unknown event " + QByteArray::number(code));
    }
}

void EventsTest::addressesAndPortsAreReadStrictly_data()
{
    // "ADDRESS[:PORT]" with a default port; 0 for none means the port is required.
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("defaultPort");
    QTest::addColumn<QString>("read"); // "address:port" in host order, or empty when refused
    const struct {
        const char* text;
        int defaultPort;
        const char* read;
    } rows[] = {
        {"127.255.255.255:40000", 1019, "7fffffff:40000"},
        {"255.255.255.255", 1019, "ffffffff:1019"},
        {"10.0.0.1:1", 0, "a000001:1"},
        {"0.0.0.0:65535", 0, "0:65535"},
        {"10.0.0.1", 0, ""},
        {"", 1019, ""},
        {"junk", 1019, ""},
        {"127.0.0", 1019, ""},
        {"127.0.0.1.1", 1019, ""},
        {"127.0.0.256", 1019, ""},
        {"127.0.0.1000", 1019, ""},
        {"127..0.1", 1019, ""},
        {"127.0.0.1:", 1019, ""},
        {"127.0.0.1:0", 1019, ""},
        {"127.0.0.1:65536", 1019, ""},
        {"127.0.0.1:1:2", 1019, ""},
        {"127.0.0.1:x", 1019, ""},
        {"127.0.0.1: 80", 1019, ""},
        {"127.0.0.1:+80", 1019, ""},
        {" 127.0.0.1", 1019, ""},
        {"127.0.0.-1", 1019, ""},
    };
    for (const auto& row : rows)
        QTest::newRow(row.text) << QString::fromLatin1(row.text) << row.defaultPort
                                << QString::fromLatin1(row.read);
}

void EventsTest::addressesAndPortsAreReadStrictly()
{
    QFETCH(QString, text);
    QFETCH(int, defaultPort);
    QFETCH(QString, read);
    quint32 address = 0x01020304;
    quint16 port = 7;
    const bool ok = parseAddressPort(text, address, port, static_cast<quint16>(defaultPort));
    QCOMPARE(ok ? QStringLiteral("%1:%2").arg(address, 0, 16).arg(port) : QString(), read);
    if (!ok)
        QCOMPARE(QStringLiteral("%1:%2").arg(address, 0, 16).arg(port), QStringLiteral("1020304:7"));
    quint16 discoveryPort = 5;
    QVERIFY(parsePort(QStringLiteral("0"), discoveryPort, 0) && discoveryPort == 0);
    QVERIFY(!parsePort(QStringLiteral("0"), discoveryPort));
    QCOMPARE(datagramOrder(0x0A000102), ipAddressFromBytes(10, 0, 1, 2));
}

void EventsTest::arrivalOrderSurvivesUpdatesAndRemovals()
{
    OnlineUserTable table = tableOf({"A", "B", "C"});
    QCOMPARE(walk(table), QByteArrayList({"A", "B", "C"}));

    OnlineUser changed = user("B", "192.168.1.20", "bob");
    changed.EventCode = AccountMarkedForLockUp;
    table.AddOrUpdateUser(changed);
    QCOMPARE(walk(table), QByteArrayList({"A", "B", "C"}));
    QCOMPARE(QByteArray(table.find("B")->Username), QByteArray("bob"));
    QCOMPARE(QByteArray(table.find("B")->ServerIPAddress), QByteArray("192.168.1.20"));
    QCOMPARE(table.find("B")->EventCode, quint32(AccountMarkedForLockUp));

    table.RemoveUser("B");
    table.AddOrUpdateUser(user("B"));
    QCOMPARE(walk(table), QByteArrayList({"A", "C", "B"}));

    table.RemoveUser("A");
    QCOMPARE(walk(table), QByteArrayList({"C", "B"}));
    QVERIFY(!table.find("A"));
}

void EventsTest::removalsOfAbsentKeysChangeNothing()
{
    OnlineUserTable table;
    table.RemoveAllUsers();
    table.RemoveUser("A");
    QVERIFY(table.empty());

    table = tableOf({"A", "B"});
    table.RemoveUser("Z");
    table.removeServerUsers("10.9.9.9");
    QCOMPARE(walk(table), QByteArrayList({"A", "B"}));
    table.RemoveAllUsers();
    QVERIFY(table.empty() && !table.find("A"));
}

void EventsTest::addressesDifferingInAnyByteAreTwoKeys()
{
    const QByteArrayList keys = {"10.0.0.1", "11.0.0.1", "10.0.0.2", "10.0.0.12", "10.0.0.1 "};
    OnlineUserTable table = tableOf(keys);
    QCOMPARE(walk(table), keys);
    table.RemoveUser("10.0.0.1");
    QCOMPARE(walk(table), keys.mid(1));
}

void EventsTest::serverRebootRemovesOnlyThatServersEntries()
{
    OnlineUserTable table;
    for (const char* address : {"A", "B", "C", "D", "E"})
        table.AddOrUpdateUser(user(address, address[0] % 2 ? "s1" : "s2"));
    // The later event, from another server, owns the entry now.
    table.AddOrUpdateUser(user("C", "s2"));

    table.removeServerUsers("s1");
    QCOMPARE(walk(table), QByteArrayList({"B", "C", "D"}));
    QVERIFY(!table.find("A") && !table.find("E"));

    // The lookups keep up with the changes that follow.
    table.AddOrUpdateUser(user("A", "s1"));
    table.AddOrUpdateUser(user("D", "s2", "updated"));
    table.RemoveUser("B");
    QCOMPARE(walk(table), QByteArrayList({"C", "D", "A"}));
    QCOMPARE(QByteArray(table.find("D")->Username), QByteArray("updated"));
}

QTEST_MAIN(EventsTest)
#include "tst_events.moc"
