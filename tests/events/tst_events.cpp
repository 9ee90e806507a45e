#include "events/EventRecord.h"
#include "events/OnlineUserTable.h"

#include <QTest>

#include <cstring>

namespace
{

// A datagram built by offset, the way a firewall server lays it out.
class Datagram
{
public:
    explicit Datagram(int size = 157) : m_bytes(size, '\0') {}
    Datagram& byte(int offset, quint8 value)
    {
        m_bytes[offset] = static_cast<char>(value);
        return *this;
    }
    Datagram& text(int offset, const QByteArray& text)
    {
        std::memcpy(m_bytes.data() + offset, text.constData(), text.size());
        return *this;
    }
    Datagram& address(int offset, quint8 a, quint8 b, quint8 c, quint8 d)
    {
        return byte(offset, a).byte(offset + 1, b).byte(offset + 2, c).byte(offset + 3, d);
    }
    EventRecord decode() const { return decodeEvent(m_bytes.constData(), m_bytes.size()); }
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// Every field of a record in one line, so that a mismatch shows all of them.
QByteArray describe(const EventRecord& r)
{
    return QByteArray::number(r.Header) + '|' + QByteArray::number(r.EventCode) + '|' + r.Username + '|' +
           r.Groupname + '|' + r.LoginTime + '|' + FormatIPAddress(r.IPAddress) + '|' +
           FormatIPAddress(r.ServerIPAddress) + '|' + r.Date + '|' + r.EventTime;
}

Datagram sampleDatagram()
{
    Datagram d;
    d.byte(0, 0xAA).byte(1, 5).byte(2, 0xBB).byte(3, 4);
    d.text(4, "alice").text(44, "staff").text(84, "08:14:59");
    d.address(99, 10, 0, 0, 1).address(103, 0xC0, 0xA8, 0x01, 0x0A);
    d.text(107, "12/05/1999").text(132, "08:15:02");
    return d;
}

OnlineUser user(const char* address, const char* server = "192.168.1.10", const char* name = "u",
                quint32 code = LoggedOn)
{
    OnlineUser entry;
    entry.EventCode = code;
    setField(entry.Username, USERNAME_WIDTH, name);
    setField(entry.IPAddress, ADDRESS_FIELD_SIZE - 1, address);
    setField(entry.ServerIPAddress, ADDRESS_FIELD_SIZE - 1, server);
    return entry;
}

// The walk order as text; fails the check when a lookup by key disagrees with the walk.
QByteArrayList walk(const OnlineUserTable& table)
{
    QByteArrayList keys;
    for (const OnlineUser& entry : table) {
        keys << QByteArray(entry.IPAddress);
        if (table.find(entry.IPAddress) != &entry)
            keys << "<find disagrees>";
    }
    if (static_cast<std::size_t>(keys.size()) != table.size())
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
    void fullWidthTextIsTakenWholeAndNeighboursKeepTheirs_data();
    void fullWidthTextIsTakenWholeAndNeighboursKeepTheirs();
    void bytesAfterNulInsideFieldAreIgnored();
    void shortDatagramReadsMissingBytesAsZero();
    void encodedRecordDecodesBack();
    void addressIsDottedFirstByteFirst_data();
    void addressIsDottedFirstByteFirst();
    void codesPastTheTablesGiveEmptyKeywordAndUnknownText();

    void entriesWalkInArrivalOrder();
    void updateKeepsPlaceWithNewValues();
    void removedThenAddedAgainGoesToTail();
    void removalsOfAbsentKeysAndOfEmptyTableChangeNothing();
    void removingHeadLeavesRestInOrder();
    void addressesDifferingInAnyByteAreTwoKeys();
    void serverRebootRemovesOnlyThatServersEntries();
};

void EventsTest::fullDatagramYieldsEveryField()
{
    const EventRecord record = sampleDatagram().decode();
    QCOMPARE(describe(record),
             QByteArray("5|4|alice|staff|08:14:59|10.0.0.1|192.168.1.10|12/05/1999|08:15:02"));

    // Bytes past 157 of a longer datagram change nothing.
    QByteArray longer = sampleDatagram().bytes() + QByteArray(512 - 157, 'x');
    QCOMPARE(describe(decodeEvent(longer.constData(), longer.size())), describe(record));
}

void EventsTest::bytesZeroAndTwoHaveNoEffect()
{
    const EventRecord record = Datagram().byte(0, 0x01).byte(1, 0x07).byte(2, 0x01).byte(3, 0x00).decode();
    QCOMPARE(record.Header, 7u);
    QCOMPARE(record.EventCode, quint32(LoggedOn));
    QCOMPARE(describe(sampleDatagram().byte(0, 0x00).byte(2, 0xFF).decode()),
             describe(sampleDatagram().decode()));
}

void EventsTest::fullWidthTextIsTakenWholeAndNeighboursKeepTheirs_data()
{
    QTest::addColumn<int>("field"); // index into the text fields below
    QTest::newRow("Username") << 0;
    QTest::newRow("Groupname") << 1;
    QTest::newRow("LoginTime") << 2;
    QTest::newRow("Date") << 3;
    QTest::newRow("EventTime") << 4;
}

void EventsTest::fullWidthTextIsTakenWholeAndNeighboursKeepTheirs()
{
    QFETCH(int, field);
    const int offsets[] = {4, 44, 84, 107, 132};
    const int widths[] = {40, 40, 15, 25, 25};
    QByteArray expected[] = {"u", "g", "l", "d", "t"};

    Datagram d;
    d.address(99, 1, 2, 3, 4).address(103, 5, 6, 7, 8);
    for (int i = 0; i < 5; ++i)
        d.text(offsets[i], expected[i]);
    expected[field] = QByteArray(widths[field], static_cast<char>('A' + field));
    d.text(offsets[field], expected[field]);

    const EventRecord r = d.decode();
    const QByteArray got[] = {r.Username, r.Groupname, r.LoginTime, r.Date, r.EventTime};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(got[i], expected[i]);
    QCOMPARE(FormatIPAddress(r.IPAddress), QByteArray("1.2.3.4"));
    QCOMPARE(FormatIPAddress(r.ServerIPAddress), QByteArray("5.6.7.8"));
}

void EventsTest::bytesAfterNulInsideFieldAreIgnored()
{
    Datagram d = sampleDatagram();
    d.text(4, QByteArray("bob\0junkjunk", 12)).text(107, QByteArray("12/05/1999\0\x01\xFF#", 14));
    const EventRecord r = d.decode();
    QCOMPARE(QByteArray(r.Username), QByteArray("bob"));
    QCOMPARE(QByteArray(r.Date), QByteArray("12/05/1999"));
}

void EventsTest::shortDatagramReadsMissingBytesAsZero()
{
    // What lies in the buffer past the received length must not show up in the record.
    QByteArray buffer(512, '\xEE');
    const QByteArray sent = sampleDatagram().bytes().left(46);
    std::memcpy(buffer.data(), sent.constData(), sent.size());

    const EventRecord r = decodeEvent(buffer.constData(), sent.size());
    QCOMPARE(describe(r), QByteArray("5|4|alice|st||0.0.0.0|0.0.0.0||"));
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

void EventsTest::addressIsDottedFirstByteFirst_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("dotted");
    QTest::newRow("private") << QByteArray::fromHex("C0A8010A") << QByteArray("192.168.1.10");
    QTest::newRow("longest") << QByteArray::fromHex("FFFFFFFF") << QByteArray("255.255.255.255");
    QTest::newRow("zero") << QByteArray::fromHex("00000000") << QByteArray("0.0.0.0");
    QTest::newRow("no leading zeros") << QByteArray::fromHex("0A000007") << QByteArray("10.0.0.7");
}

void EventsTest::addressIsDottedFirstByteFirst()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, dotted);
    const EventRecord r = Datagram().text(99, bytes).text(103, bytes).decode();
    QCOMPARE(FormatIPAddress(r.IPAddress), dotted);
    QCOMPARE(FormatIPAddress(r.ServerIPAddress), dotted);
}

void EventsTest::codesPastTheTablesGiveEmptyKeywordAndUnknownText()
{
    QCOMPARE(QByteArray(eventKeyword(AccessTimeExpired)), QByteArray("AccessTimeExpired"));
    QCOMPARE(eventMessage(AccessTimeExpired), QByteArray(" Access time Expired"));
    for (int code : {10, 11, 128, 255}) {
        const EventRecord r = Datagram().byte(3, static_cast<quint8>(code)).decode();
        QCOMPARE(r.EventCode, quint32(code));
        QCOMPARE(QByteArray(eventKeyword(r.EventCode)), QByteArray());
        QCOMPARE(eventMessage(r.EventCode), " Unknown event " + QByteArray::number(code));
    }
}

void EventsTest::entriesWalkInArrivalOrder()
{
    OnlineUserTable table;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
        table.AddOrUpdateUser(user(address));
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

void EventsTest::updateKeepsPlaceWithNewValues()
{
    OnlineUserTable table;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
        table.AddOrUpdateUser(user(address));
    table.AddOrUpdateUser(user("10.0.0.2", "192.168.1.20", "bob", AccountMarkedForLockUp));

    QCOMPARE(walk(table), QByteArrayList({"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    const OnlineUser* b = table.find("10.0.0.2");
    QVERIFY(b);
    QCOMPARE(QByteArray(b->Username), QByteArray("bob"));
    QCOMPARE(QByteArray(b->ServerIPAddress), QByteArray("192.168.1.20"));
    QCOMPARE(b->EventCode, quint32(AccountMarkedForLockUp));
}

void EventsTest::removedThenAddedAgainGoesToTail()
{
    OnlineUserTable table;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
        table.AddOrUpdateUser(user(address));
    table.RemoveUser("10.0.0.2");
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.1", "10.0.0.3"}));
    table.AddOrUpdateUser(user("10.0.0.2"));
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.1", "10.0.0.3", "10.0.0.2"}));
}

void EventsTest::removalsOfAbsentKeysAndOfEmptyTableChangeNothing()
{
    OnlineUserTable table;
    table.RemoveAllUsers();
    table.RemoveUser("10.0.0.1");
    QVERIFY(table.empty());

    table.AddOrUpdateUser(user("10.0.0.1"));
    table.AddOrUpdateUser(user("10.0.0.2"));
    table.RemoveUser("10.0.0.9");
    table.removeServerUsers("10.9.9.9");
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.1", "10.0.0.2"}));

    table.RemoveAllUsers();
    QVERIFY(table.empty());
    QVERIFY(!table.find("10.0.0.1"));
    table.AddOrUpdateUser(user("10.0.0.2"));
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.2"}));
}

void EventsTest::removingHeadLeavesRestInOrder()
{
    OnlineUserTable table;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
        table.AddOrUpdateUser(user(address));
    table.RemoveUser("10.0.0.1");
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.2", "10.0.0.3"}));
    QVERIFY(!table.find("10.0.0.1"));
}

void EventsTest::addressesDifferingInAnyByteAreTwoKeys()
{
    const QByteArrayList keys = {"10.0.0.1", "11.0.0.1", "10.0.0.2", "10.0.0.12", "10.0.0.1 "};
    OnlineUserTable table;
    for (const QByteArray& key : keys)
        table.AddOrUpdateUser(user(key.constData()));
    QCOMPARE(walk(table), keys);

    table.RemoveUser("10.0.0.1");
    QCOMPARE(walk(table), keys.mid(1));
}

void EventsTest::serverRebootRemovesOnlyThatServersEntries()
{
    OnlineUserTable table;
    table.AddOrUpdateUser(user("10.0.0.1", "192.168.1.1"));
    table.AddOrUpdateUser(user("10.0.0.2", "192.168.1.2"));
    table.AddOrUpdateUser(user("10.0.0.3", "192.168.1.1"));
    table.AddOrUpdateUser(user("10.0.0.4", "192.168.1.2"));
    table.AddOrUpdateUser(user("10.0.0.5", "192.168.1.1"));
    // The later event of another server owns the entry now.
    table.AddOrUpdateUser(user("10.0.0.3", "192.168.1.2"));

    table.removeServerUsers("192.168.1.1");
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.2", "10.0.0.3", "10.0.0.4"}));
    for (const char* gone : {"10.0.0.1", "10.0.0.5"})
        QVERIFY(!table.find(gone));

    // The index keeps up with later changes too.
    table.AddOrUpdateUser(user("10.0.0.1", "192.168.1.1", "again"));
    table.AddOrUpdateUser(user("10.0.0.4", "192.168.1.2", "updated"));
    table.RemoveUser("10.0.0.2");
    QCOMPARE(walk(table), QByteArrayList({"10.0.0.3", "10.0.0.4", "10.0.0.1"}));
    QCOMPARE(QByteArray(table.find("10.0.0.4")->Username), QByteArray("updated"));
}

QTEST_MAIN(EventsTest)
#include "tst_events.moc"
