// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Files.h"
#include "common/LogRules.h"
#include "common/MemorySource.h"
#include "log/LogReader.h"
#include "log/UserLog.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace
{

const QByteArray KEY = "12/05/1999";
constexpr int BLOCK = 8 << 20; // the reader's block size, for placing lines across its ends

EventRecord record(const QByteArray& time, const QByteArray& date, const QByteArray& name, quint32 code = 0,
                   quint32 server = ipAddressFromBytes(192, 168, 1, 10))
{
    EventRecord r;
    setField(r.EventTime, EVENTTIME_WIDTH, time);
    setField(r.Date, DATE_WIDTH, date);
    setField(r.Username, USERNAME_WIDTH, name);
    r.ServerIPAddress = server;
    r.EventCode = code;
    return r;
}

QByteArrayList toList(const std::vector<QByteArray>& lines)
{
    return QByteArrayList(lines.begin(), lines.end());
}

QByteArrayList referenceSearch(const QByteArray& data, const QByteArray& key)
{
    QByteArrayList found;
    for (const std::string& line : referenceLines(std::string_view(data.constData(), data.size()),
                                                  std::string_view(key.constData(), key.size())))
        found << QByteArray::fromStdString(line);
    return found;
}

// A log of several blocks: writer lines mixed with every kind of line the rules treat specially,
// matches cut by the block ends that a file read sees, and one line longer than a block.
// In the kinds, "|" pads the text before it to 149 characters and "^" to 145.
QByteArray generatedLog()
{
    const QByteArray kinds[] = {"#{t}  {d}",
                                "{t}  {d}#note",
                                "{t}  {d}  1.2.3.4  a#b  LoggedOn",
                                "{t} x  {d}  1.2.3.4",
                                "  {d}  1.2.3.4  u  LoggedOff",
                                "",
                                "{t}  {d}  |{t}  {d}  second piece",
                                "{t}  x^{d}  straddles a piece end",
                                "{t}\t{d}\v\xE9\xFF\f1.2.3.4\r{d}"};
    const QByteArray dates[] = {KEY, KEY, "12/06/1999", "12/05/99", "05/12/1999"};
    const auto pad = [](QByteArray text, char mark, int length) {
        const qsizetype at = text.indexOf(mark);
        return at < 0 ? text : text.replace(at, 1, QByteArray(length - at, 'p'));
    };
    QRandomGenerator random(1999);
    QByteArray data;
    for (qsizetype blockEnd = BLOCK; data.size() < 3 * BLOCK;) {
        const qsizetype lineStart = data.size();
        if (lineStart > blockEnd - 200) {
            // A match cut by the block's end, or CR and LF parted by it.
            const int before = int(blockEnd - lineStart - 1);
            data += (blockEnd / BLOCK) % 2
                        ? pad("08:00:00  " + KEY + "  edge|", '|', before - 5) + "  end\r\n"
                        : pad("08:00:01  " + KEY + "  |", '|', before) + "\r\n";
            blockEnd = lineStart + BLOCK;
            if (blockEnd / BLOCK == 2) // then a line whose every piece reads as a line of the date
                data += pad("09:00:00  " + KEY + "  long|", '|', 149).repeated(BLOCK / 149 + 10) + "tail  " +
                        KEY + "\r\n";
        } else {
            QByteArray line = kinds[random.bounded(int(std::size(kinds)))];
            line.replace("{t}", QByteArray::number(random.bounded(100000)))
                .replace("{d}", dates[random.bounded(5)]);
            data += pad(pad(line, '|', 149), '^', 145) + (random.bounded(4) ? "\r\n" : "\n");
        }
    }
    return data + "last  " + KEY + "  without line end";
}

} // namespace

class LogTest : public QObject
{
    Q_OBJECT

    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void linesAreWrittenByteForByteAndRotationAndCutLines()
    {
        const QString file = path("userfile");
        const QByteArray name = QFile::encodeName(file);
        QCOMPARE(AppendLogLine(name, record("08:15:02", KEY, "alice", LoggedOn)), 0);
        QCOMPARE(AppendLogLine(name, record("08:16:40", "", "bob", AccountMarkedForLockUp, 0x0700000A)), 0);
        // No datagram may forge a second line; every other byte goes through as it came.
        QCOMPARE(AppendLogLine(name, record("08:17\r\n00", "12/05\r1999", "ev\nil#\xE9\xFF\x01", 200, 0)), 0);
        // A log is readable by its owner and group only; one that exists keeps its mode.
        QCOMPARE(QFile::permissions(file) & 0x0777, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
        QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadOther));
        QCOMPARE(AppendLogLine(name, record("08:18", KEY, "more")), 0);
        QVERIFY(QFile::permissions(file) & QFile::ReadOther);
        QCOMPARE(fileBytes(file), QByteArray("08:15:02  12/05/1999  192.168.1.10  alice  LoggedOn\r\n"
                                             "08:16:40    10.0.0.7  bob  AccountMarkedForLockUp\r\n"
                                             "08:17??00  12/05?1999  0.0.0.0  ev?il#\xE9\xFF\x01  \r\n"
                                             "08:18  12/05/1999  192.168.1.10  more  LoggedOn\r\n"));

        // Below a regular file, so that it fails even for root.
        QVERIFY(writeFileBytes(path("plain"), "x"));
        int error = 0;
        QCOMPARE(appendLogText(QFile::encodeName(path("plain")) + "/userfile", "lost\r\n", &error), -1);
        QCOMPARE(error, ENOTDIR);
        error = 0; // told only of a failure
        QCOMPARE(appendLogText(QFile::encodeName(path("good")), "", &error), 0);
        QCOMPARE(error, 0);

        // A log moved away by rotation starts again under its name.
        QVERIFY(QFile::rename(file, path("userfile.1")));
        QCOMPARE(AppendLogLine(name, record("3", KEY, "new")), 0);
        QCOMPARE(fileBytes(file), QByteArray("3  12/05/1999  192.168.1.10  new  LoggedOn\r\n"));
        // A line cut short is ended before the next one.
        for (const auto& [before, mended] : {std::pair<QByteArray, QByteArray>{"ali", "ali\r\n"},
                                             {"ali\r", "ali\r\n"},
                                             {"elsewhere\n", "elsewhere\n"}}) {
            QVERIFY(writeFileBytes(path("cut"), before));
            QCOMPARE(appendLogText(QFile::encodeName(path("cut")), "next\r\n"), 0);
            QCOMPARE(fileBytes(path("cut")), mended + "next\r\n");
        }
    }

    void searchAgreesWithLineByLineRules()
    {
        const QByteArray data = generatedLog();
        const QByteArrayList expected = referenceSearch(data, KEY);
        QVERIFY(expected.size() > 60000);

        QVERIFY(writeFileBytes(path("generated"), data));
        bool opened = false;
        const LogSearchResult fromFile =
            findDateLinesInFile(QFile::encodeName(path("generated")), KEY, &opened);
        QCOMPARE(fromFile.error, 0);
        QCOMPARE(toList(fromFile.lines), expected);

        MemorySource ragged(data, 1);
        const LogSearchResult fromChunks = findDateLines(ragged, KEY);
        QCOMPARE(fromChunks.error, 0);
        QCOMPARE(toList(fromChunks.lines), expected);

        // The rules themselves, by hand: line ends, runs of any white space, a hash cuts the shown text.
        QVERIFY(writeFileBytes(path("handmade"), "a\t12/05/1999\r\nb\v12/05/1999\n \t c \t 12/05/1999 \r\n"
                                                 "08:15  12/05/1999  1.2.3.4 #bob\r\n08:16#x  12/05/1999  y\n"
                                                 "f  12/05/19990\ng  x  12/05/1999\n#08:18  12/05/1999\nz  "
                                                 "12/05/1999#  touching\r\nlast  12/05/1999"));
        QCOMPARE(toList(findDateLinesInFile(QFile::encodeName(path("handmade")), KEY, &opened).lines),
                 QByteArrayList({"a\t12/05/1999", "b\v12/05/1999", " \t c \t 12/05/1999 ",
                                 "08:15  12/05/1999  1.2.3.4 ", "08:16", "last  12/05/1999"}));
    }

    void readErrorKeepsLinesFoundBefore()
    {
        QByteArray data;
        for (int i = 0; i < 20000; ++i)
            data += formatLogLine(record(QByteArray::number(i), KEY, "u"));
        const qsizetype failAt = data.size() / 2;
        MemorySource failing(data, 7, failAt);
        const LogSearchResult result = findDateLines(failing, KEY);
        QCOMPARE(result.error, EIO);
        QCOMPARE(toList(result.lines),
                 referenceSearch(data.left(data.lastIndexOf('\n', failAt - 1) + 1), KEY));
    }
};

QTEST_MAIN(LogTest)
#include "tst_log.moc"
