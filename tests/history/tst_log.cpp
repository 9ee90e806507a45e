#include "history/LogReader.h"
#include "history/UserLog.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{

const QByteArray KEY = "12/05/1999";
constexpr int BLOCK = 8 << 20; // the reader's block size, for placing lines across its ends

EventRecord record(const QByteArray& time, const QByteArray& date, const QByteArray& name, quint32 code,
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

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArrayList toList(const std::vector<QByteArray>& lines)
{
    return QByteArrayList(lines.begin(), lines.end());
}

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The reading rules applied one line at a time, as plainly as they read.
QByteArrayList referenceSearch(const QByteArray& data, const QByteArray& key)
{
    QByteArrayList found;
    qsizetype start = 0;
    while (start < data.size()) {
        const qsizetype lf = data.indexOf('\n', start);
        QByteArray line = data.mid(start, (lf < 0 ? data.size() : lf) - start);
        if (lf >= 0 && line.endsWith('\r'))
            line.chop(1);
        start = lf < 0 ? data.size() : lf + 1;
        for (qsizetype at = 0; at == 0 || at < line.size(); at += 149) {
            const QByteArray piece = line.mid(at, 149);
            QByteArrayList runs;
            QByteArray run;
            for (char c : piece + ' ') {
                if (!isSeparator(c)) {
                    run += c;
                } else if (!run.isEmpty()) {
                    runs << run;
                    run.clear();
                }
            }
            const QByteArray shown = piece.left(piece.indexOf('#') < 0 ? piece.size() : piece.indexOf('#'));
            if (!shown.isEmpty() && runs.size() >= 2 && runs[1] == key)
                found << shown;
        }
    }
    return found;
}

// Serves bytes in chunks of varying size, and fails with EIO after `failAfter` bytes if that is set.
class MemorySource : public LogSource
{
public:
    MemorySource(const QByteArray& data, quint32 seed, qsizetype failAfter = -1)
        : m_data(data), m_random(seed), m_failAfter(failAfter)
    {
    }
    long read(char* buffer, std::size_t size) override
    {
        const qsizetype end = m_failAfter >= 0 ? m_failAfter : m_data.size();
        if (m_pos >= end && m_failAfter >= 0) {
            errno = EIO;
            return -1;
        }
        const qsizetype chunk =
            std::min<qsizetype>({static_cast<qsizetype>(size), end - m_pos, m_random.bounded(1, 300000)});
        std::memcpy(buffer, m_data.constData() + m_pos, chunk);
        m_pos += chunk;
        return static_cast<long>(chunk);
    }

private:
    QByteArray m_data;
    QRandomGenerator m_random;
    qsizetype m_failAfter;
    qsizetype m_pos = 0;
};

// A log of several blocks: writer lines mixed with every kind of line the rules treat specially,
// matches across the block ends a file read sees, and one line longer than a block.
QByteArray generatedLog()
{
    QRandomGenerator random(1999);
    QByteArray data;
    qsizetype nextEnd = BLOCK;
    bool longLineDone = false;
    const QByteArray dates[] = {KEY, KEY, "12/06/1999", "12/05/99", "05/12/1999"};
    auto pad = [](QByteArray text, int length) { return text + QByteArray(length - text.size(), 'p'); };

    while (data.size() < 3 * BLOCK) {
        if (data.size() > nextEnd - 200) {
            // The last line a block sees is cut by its end: a match straddling it, or CR and LF
            // split between two blocks.
            const qsizetype lineStart = data.size();
            const qsizetype before = nextEnd - lineStart - 1;
            if ((nextEnd / BLOCK) % 2 == 1)
                data += pad("08:00:00  " + KEY + "  1.1.1.1  edge", int(before) - 5) + "  end\r\n";
            else
                data += pad("08:00:01  " + KEY + "  ", int(before)) + "\r\n";
            nextEnd = lineStart + BLOCK;
            continue;
        }
        if (!longLineDone && data.size() > BLOCK + BLOCK / 2) {
            // Every piece of this line starts like a writer line of the date.
            QByteArray piece = pad("09:00:00  " + KEY + "  long", 149);
            QByteArray line;
            while (line.size() < BLOCK + 1000)
                line += piece;
            data += line + "tail  " + KEY + "\r\n";
            longLineDone = true;
            nextEnd = data.size() + BLOCK; // roughly: the next block begins within the tail
            continue;
        }
        const QByteArray time = QByteArray::number(random.bounded(100000));
        const QByteArray& date = dates[random.bounded(5)];
        switch (random.bounded(14)) {
        case 0:
            data += "#" + time + "  " + date + "\r\n";
            break;
        case 1:
            data += time + "  " + date + "#note\r\n";
            break;
        case 2:
            data += time + "  " + date + "  1.2.3.4  a#b  LoggedOn\r\n";
            break;
        case 3:
            data += time + " x  " + date + "  1.2.3.4\r\n";
            break;
        case 4:
            data += "  " + date + "  1.2.3.4  u  LoggedOff\n";
            break;
        case 5:
            data += "\r\n\n";
            break;
        case 6:
            data += pad(time + "  " + date + "  ", 149) + time + "  " + date + "  second piece\r\n";
            break;
        case 7:
            data += pad(time + "  x", 145) + date + "  straddles\r\n";
            break;
        case 8:
            data += time + "\t" + date + "\v\xE9\xFF\f1.2.3.4\r" + date + "\r\n";
            break;
        case 9:
            data += time + "  1.2.3.4  " + date + "\r\n";
            break;
        default:
            data += time + "  " + date + "  192.168.1." + QByteArray::number(random.bounded(256)) + "  user" +
                    time + "  LoggedOn" + (random.bounded(4) ? "\r\n" : "\n");
        }
    }
    return data + "last  " + KEY + "  without line end";
}

// Compares long results at their first differing line, so that a failure shows that line.
void compareLines(const std::vector<QByteArray>& actual, const QByteArrayList& expected)
{
    const QByteArrayList got = toList(actual);
    for (qsizetype i = 0; i < std::min(got.size(), expected.size()); ++i) {
        if (got[i] != expected[i]) {
            qInfo("first difference at line %lld", static_cast<long long>(i));
            QCOMPARE(got[i], expected[i]);
        }
    }
    QCOMPARE(got.size(), expected.size());
}

} // namespace

class LogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linesAreWrittenByteForByte();
    void emptyDateLeavesFourBlanks();
    void fieldBytesAreKeptExceptLineBreaks();
    void firstEventCreatesTheFile();
    void unopenablePathLosesOnlyThatLine();
    void lineCutShortIsEndedBeforeTheNextOne();

    void crLfAndLoneLfBothEndLines();
    void longLinesAreReadInPiecesOf149();
    void lineFeedInsideFieldSplitsTheLine();
    void dateIsSecondRunOfAnyWhitespace();
    void hashCutsShownTextButNotTheDate();
    void oddFirstFieldsMoveTheDate();
    void emptyAndCommentLinesGiveNoPieces();
    void searchAgreesWithLineByLineRules();
    void readErrorKeepsLinesFoundBefore();
    void missingFileIsReportedUnopened();

private:
    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }
    LogSearchResult search(const QByteArray& contents);

    QTemporaryDir m_dir;
};

void LogTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

LogSearchResult LogTest::search(const QByteArray& contents)
{
    const QString file = path("handmade");
    if (!writeFile(file, contents))
        return {};
    bool opened = false;
    LogSearchResult result = findDateLinesInFile(QFile::encodeName(file), KEY, &opened);
    if (!opened)
        result.error = -1;
    return result;
}

void LogTest::linesAreWrittenByteForByte()
{
    const QByteArray file = QFile::encodeName(path("bytes"));
    QCOMPARE(AppendLogLine(file, record("08:15:02", KEY, "alice", LoggedOn)), 0);
    QCOMPARE(AppendLogLine(file, record("08:16:40", KEY, "bob", AccountMarkedForLockUp,
                                        ipAddressFromBytes(10, 0, 0, 7))),
             0);
    QCOMPARE(AppendLogLine(file, record("23:59:59", "01/01/2000", "carol", 200, 0)), 0);
    QCOMPARE(readAll(path("bytes")),
             QByteArray("08:15:02  12/05/1999  192.168.1.10  alice  LoggedOn\r\n"
                        "08:16:40  12/05/1999  10.0.0.7  bob  AccountMarkedForLockUp\r\n"
                        "23:59:59  01/01/2000  0.0.0.0  carol  \r\n"));
}

void LogTest::emptyDateLeavesFourBlanks()
{
    QCOMPARE(formatLogLine(record("08:15:02", "", "alice", LoggedOff)),
             QByteArray("08:15:02    192.168.1.10  alice  LoggedOff\r\n"));
}

void LogTest::fieldBytesAreKeptExceptLineBreaks()
{
    // No datagram may forge a second line; every other byte goes through as it came.
    QCOMPARE(formatLogLine(record("08:15\r\n02", "12/05\r1999", "ev\nil#\xE9\xFF\x01\x7F", LoggedOn)),
             QByteArray("08:15??02  12/05?1999  192.168.1.10  ev?il#\xE9\xFF\x01\x7F  LoggedOn\r\n"));
}

void LogTest::firstEventCreatesTheFile()
{
    const QString file = path("created");
    QVERIFY(!QFile::exists(file));
    QCOMPARE(AppendLogLine(QFile::encodeName(file), record("1", KEY, "u", LoggedOn)), 0);
    QCOMPARE(readAll(file), QByteArray("1  12/05/1999  192.168.1.10  u  LoggedOn\r\n"));
}

void LogTest::unopenablePathLosesOnlyThatLine()
{
    // Below a regular file, so that it fails even for root.
    QVERIFY(writeFile(path("plain"), "x"));
    const QByteArray bad = QFile::encodeName(path("plain")) + "/userfile";
    int error = 0;
    QCOMPARE(appendLogText(bad, "line\r\n", &error), -1);
    QCOMPARE(error, ENOTDIR);
    QCOMPARE(AppendLogLine(bad, record("1", KEY, "lost", LoggedOn)), -1);

    const QByteArray good = QFile::encodeName(path("good"));
    QCOMPARE(AppendLogLine(good, record("2", KEY, "kept", LoggedOn)), 0);
    QCOMPARE(readAll(path("good")), QByteArray("2  12/05/1999  192.168.1.10  kept  LoggedOn\r\n"));
    QCOMPARE(readAll(path("plain")), QByteArray("x"));
}

void LogTest::lineCutShortIsEndedBeforeTheNextOne()
{
    QVERIFY(writeFile(path("cut"), "1  12/05/1999  192.168.1.10  ali"));
    QCOMPARE(AppendLogLine(QFile::encodeName(path("cut")), record("2", KEY, "bob", LoggedOn)), 0);
    QCOMPARE(
        readAll(path("cut")),
        QByteArray("1  12/05/1999  192.168.1.10  ali\r\n2  12/05/1999  192.168.1.10  bob  LoggedOn\r\n"));

    QVERIFY(writeFile(path("cr"), "1  12/05/1999  192.168.1.10  ali  LoggedOn\r"));
    QCOMPARE(appendLogText(QFile::encodeName(path("cr")), "next\r\n"), 0);
    QCOMPARE(readAll(path("cr")), QByteArray("1  12/05/1999  192.168.1.10  ali  LoggedOn\r\nnext\r\n"));

    QVERIFY(writeFile(path("lf"), "written elsewhere\n"));
    QCOMPARE(appendLogText(QFile::encodeName(path("lf")), "next\r\n"), 0);
    QCOMPARE(readAll(path("lf")), QByteArray("written elsewhere\nnext\r\n"));
}

void LogTest::crLfAndLoneLfBothEndLines()
{
    const LogSearchResult found = search("a  12/05/1999  x\r\nb  12/05/1999  y\nc  12/05/1999  z\r\n"
                                         "d  12/05/1999  last");
    QCOMPARE(found.error, 0);
    QCOMPARE(toList(found.lines), QByteArrayList({"a  12/05/1999  x", "b  12/05/1999  y", "c  12/05/1999  z",
                                                  "d  12/05/1999  last"}));
}

void LogTest::longLinesAreReadInPiecesOf149()
{
    QByteArray longest =
        formatLogLine(record(QByteArray(25, 't'), QByteArray(25, 'd'), QByteArray(40, 'u'),
                             TryingInvalidUserNames, ipAddressFromBytes(255, 255, 255, 255)));
    longest.chop(2);
    QCOMPARE(longest.size(), 135);
    QByteArrayList pieces;
    const auto collect = [&](const LogPiece& piece) {
        pieces << QByteArray(piece.shown.data(), static_cast<qsizetype>(piece.shown.size()));
    };
    splitLogLine(std::string_view(longest.constData(), 135), collect);
    QCOMPARE(pieces, QByteArrayList({longest}));

    const QByteArray matching = "t  " + KEY + ' ' + QByteArray(135 - 14, 'w');
    QCOMPARE(toList(search(matching + "\r\n").lines), QByteArrayList({matching}));

    const QByteArray first = "t  " + KEY + ' ' + QByteArray(149 - 14, 'w');
    QCOMPARE(toList(search(first + "x\r\n").lines), QByteArrayList({first}));
    pieces.clear();
    splitLogLine(std::string_view((first + "x").constData(), 150), collect);
    QCOMPARE(pieces, QByteArrayList({first, "x"}));

    // The rest of a long line is a line of its own, with its own date field.
    const QByteArray second = "u  " + KEY + "  rest";
    QCOMPARE(toList(search(first + second + "\r\n").lines), QByteArrayList({first, second}));
}

void LogTest::lineFeedInsideFieldSplitsTheLine()
{
    QCOMPARE(toList(search("08:15  12/05/1999  1.2.3.4  al\nice  12/05/1999  LoggedOn\r\n").lines),
             QByteArrayList({"08:15  12/05/1999  1.2.3.4  al", "ice  12/05/1999  LoggedOn"}));
}

void LogTest::dateIsSecondRunOfAnyWhitespace()
{
    const QByteArray lines = "a\t12/05/1999\r\n"
                             "b\v12/05/1999\r\n"
                             "c\f12/05/1999\r\n"
                             "d\r12/05/1999\r\n"
                             "   \t e \t 12/05/1999 \r\n"
                             "f  12/05/19990\r\n"
                             "g  x  12/05/1999\r\n"
                             "12/05/1999\r\n";
    QCOMPARE(toList(search(lines).lines), QByteArrayList({"a\t12/05/1999", "b\v12/05/1999", "c\f12/05/1999",
                                                          "d\r12/05/1999", "   \t e \t 12/05/1999 "}));
}

void LogTest::hashCutsShownTextButNotTheDate()
{
    const QByteArray lines = "08:15  12/05/1999  1.2.3.4 #bob  LoggedOn\r\n"
                             "08:16#x  12/05/1999  taken before the cut\r\n"
                             "08:17  12/05/1999#  touching\r\n"
                             "#08:18  12/05/1999  comment\r\n";
    QCOMPARE(toList(search(lines).lines), QByteArrayList({"08:15  12/05/1999  1.2.3.4 ", "08:16"}));
}

void LogTest::oddFirstFieldsMoveTheDate()
{
    const QByteArray lines = formatLogLine(record("08 15", KEY, "u", LoggedOn)) +
                             formatLogLine(record("", KEY, "u", LoggedOn)) +
                             formatLogLine(record("08:15", KEY, "blank in name", LoggedOn));
    QCOMPARE(toList(search(lines).lines),
             QByteArrayList({"08:15  12/05/1999  192.168.1.10  blank in name  LoggedOn"}));
}

void LogTest::emptyAndCommentLinesGiveNoPieces()
{
    QByteArrayList shown;
    forEachLogLine("\r\n\n#only a comment\r\na  b\r\n\r\n", [&](std::string_view line) {
        splitLogLine(line, [&](const LogPiece& piece) {
            shown << QByteArray(piece.shown.data(), piece.shown.size());
        });
    });
    QCOMPARE(shown, QByteArrayList({"a  b"}));
}

void LogTest::searchAgreesWithLineByLineRules()
{
    const QByteArray data = generatedLog();
    const QByteArrayList expected = referenceSearch(data, KEY);
    QVERIFY(expected.size() > 60000);

    const LogSearchResult fromFile = search(data);
    QCOMPARE(fromFile.error, 0);
    compareLines(fromFile.lines, expected);
    if (QTest::currentTestFailed())
        return;

    for (quint32 seed : {1u, 2u}) {
        MemorySource ragged(data, seed);
        const LogSearchResult fromChunks = findDateLines(ragged, KEY);
        QCOMPARE(fromChunks.error, 0);
        compareLines(fromChunks.lines, expected);
        if (QTest::currentTestFailed())
            return;
    }
}

void LogTest::readErrorKeepsLinesFoundBefore()
{
    QByteArray data;
    for (int i = 0; i < 20000; ++i)
        data += formatLogLine(record(QByteArray::number(i), KEY, "u", LoggedOn));
    const qsizetype failAt = data.size() / 2;
    const qsizetype lastLineEnd = data.lastIndexOf('\n', failAt - 1) + 1;

    MemorySource failing(data, 7, failAt);
    const LogSearchResult result = findDateLines(failing, KEY);
    QCOMPARE(result.error, EIO);
    QCOMPARE(toList(result.lines), referenceSearch(data.left(lastLineEnd), KEY));
}

void LogTest::missingFileIsReportedUnopened()
{
    bool opened = true;
    const LogSearchResult result = findDateLinesInFile(QFile::encodeName(path("absent")), KEY, &opened);
    QVERIFY(!opened);
    QVERIFY(result.lines.empty());
}

QTEST_MAIN(LogTest)
#include "tst_log.moc"
