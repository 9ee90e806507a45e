// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Files.h"
#include "common/LogRules.h"
#include "common/MemorySource.h"
#include "log/LogReader.h"
#include "log/UserLog.h"

#include <QProcess>
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

std::vector<QByteArray> referenceSearch(const QByteArray& data, const QByteArray& key)
{
    std::vector<QByteArray> found;
    for (const std::string& line : referenceLines(data.toStdString(), key.toStdString()))
        found.push_back(QByteArray::fromStdString(line));
    return found;
}

// A log of several blocks: writer lines mixed with every kind of line the rules treat specially, matches
// cut by a file read's block ends, one line longer than a block. "|" pads the text before it to 149, "^" to
// 145, "~" to 137.
QByteArray generatedLog()
{
    const QByteArrayList kinds =
        QByteArray("#{t}  {d}\n{t}  {d}#note\n{t}  {d}  1.2.3.4  a#b  LoggedOn\n"
                   "{t} x  {d}  1.2.3.4\n  {d}  1.2.3.4  u  LoggedOff\n\n"
                   "{t}  {d}  |{t}  {d}  second piece\n{t}  x^{d}  straddles a piece end\n"
                   "{t}\t{d}\v\xE9\xFF\f1.2.3.4\r{d}\n{t}~  {d}x, the date ending its piece")
            .split('\n');
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
            QByteArray line = kinds[random.bounded(int(kinds.size()))];
            line.replace("{t}", QByteArray::number(random.bounded(100000)))
                .replace("{d}", dates[random.bounded(5)]);
            data += pad(pad(pad(line, '|', 149), '^', 145), '~', 137) + (random.bounded(4) ? "\r\n" : "\n");
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

    void linesAreWrittenByteForByteAndRotationAndCutLines()
    {
        const QString file = path("userfile");
        const QByteArray name = QFile::encodeName(file);
        QCOMPARE(AppendLogLine(name, record("08:15:02", KEY, "alice", LoggedOn)), 0);
        // No datagram may forge a second line; every other byte goes through as it came.
        QCOMPARE(AppendLogLine(name, record("08:17\r\n00", "12/05\r1999", "ev\nil#\xE9\xFF\x01", 200, 0)), 0);
        // A log is readable by its owner and group only.
        QCOMPARE(QFile::permissions(file) & 0x0777, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
        QCOMPARE(fileBytes(file), QByteArray("08:15:02  12/05/1999  192.168.1.10  alice  LoggedOn\r\n"
                                             "08:17??00  12/05?1999  0.0.0.0  ev?il#\xE9\xFF\x01  \r\n"));

        // Below a regular file, so that it fails even for root.
        int error = 0;
        QCOMPARE(appendLogText(name + "/userfile", "lost\r\n", &error), -1);
        QCOMPARE(error, ENOTDIR);
        // Told only of a failure: a write that works leaves the error untouched.
        QCOMPARE(appendLogText(QFile::encodeName(path("good")), "", &error), 0);
        QCOMPARE(error, ENOTDIR);

        // A log moved away by rotation starts again under its name.
        QVERIFY(QFile::rename(file, path("userfile.1")));
        QCOMPARE(AppendLogLine(name, record("3", KEY, "new")), 0);
        QCOMPARE(fileBytes(file), QByteArray("3  12/05/1999  192.168.1.10  new  LoggedOn\r\n"));
        // A line cut short is ended before the next one.
        for (const QByteArray before : {"ali", "ali\r", "elsewhere\n"}) {
            QVERIFY(writeFileBytes(path("cut"), before));
            QCOMPARE(appendLogText(QFile::encodeName(path("cut")), "next\r\n"), 0);
            QCOMPARE(fileBytes(path("cut")),
                     before.startsWith("ali") ? "ali\r\nnext\r\n" : "elsewhere\nnext\r\n");
        }
    }

    void searchAgreesWithLineByLineRules()
    {
        const QByteArray data = generatedLog();
        const std::vector<QByteArray> expected = referenceSearch(data, KEY);
        QVERIFY(writeFileBytes(path("generated"), data));
        bool opened = false;
        MemorySource ragged(data, 1);
        QCOMPARE(findDateLinesInFile(QFile::encodeName(path("generated")), KEY, &opened).lines, expected);
        QCOMPARE(findDateLines(ragged, KEY).lines, expected);
        // A read error keeps the lines found before it.
        const qsizetype failAt = data.size() / 2;
        MemorySource failing(data, 7, failAt);
        const LogSearchResult cut = findDateLines(failing, KEY);
        QCOMPARE(cut.error, EIO);
        QCOMPARE(cut.lines, referenceSearch(data.left(data.lastIndexOf('\n', failAt - 1) + 1), KEY));

        // The rules themselves, by hand: line ends, runs of any white space, a hash cuts the shown text.
        QVERIFY(writeFileBytes(path("handmade"),
                               "a\t12/05/1999\r\nb\v12/05/1999\n \t c \t 12/05/1999 \r\n"
                               "08:15  12/05/1999  1.2.3.4 #bob\r\n08:16#x  12/05/1999  y\n"
                               "f  12/05/19990\ng  x  12/05/1999\n12/05/1999 \t \n#08:18  12/05/1999\nz  "
                               "12/05/1999#  touching\r\nlast  12/05/1999"));
        QCOMPARE(findDateLinesInFile(QFile::encodeName(path("handmade")), KEY, &opened).lines,
                 std::vector<QByteArray>({"a\t12/05/1999", "b\v12/05/1999", " \t c \t 12/05/1999 ",
                                          "08:15  12/05/1999  1.2.3.4 ", "08:16", "last  12/05/1999"}));

        // Rotated files oldest first; a plain one beside its .gz wins; a .gz cut short keeps its lines.
        for (const char* name : {"r.12", "r.3", "r.2", "r.1", "r", "r.3.gz", "r.x", "r.0", "r.+4", "r. 5"})
            QVERIFY(writeFileBytes(path(name), name + ("  " + KEY + '\n')));
        QProcess::execute("gzip", {path("r.12"), path("r.2"), path("r.1")});
        QVERIFY(QFile::resize(path("r.2.gz"), QFile(path("r.2.gz")).size() - 4));
        const LogSearchResult rotated = findDateLinesInLogs(QFile::encodeName(path("r")), KEY, &opened);
        QCOMPARE(rotated.lines,
                 std::vector<QByteArray>({"r.12  12/05/1999", "r.3  12/05/1999", "r.2  12/05/1999",
                                          "r.1  12/05/1999", "r  12/05/1999"}));
        QCOMPARE(rotated.errorFile, QFile::encodeName(path("r.2.gz")));
    }
};

QTEST_MAIN(LogTest)
#include "tst_log.moc"
