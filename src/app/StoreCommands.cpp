// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/StoreCommands.h"

#include "app/Application.h"
#include "events/Address.h"
#include "events/EventCodes.h"
#include "store/LogImport.h"
#include "store/StoreReader.h"
#include "widgets/ViewText.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstdio>

namespace
{

enum class Format { Text, Csv, Json };

// One printed value: its text for text and CSV, its value for JSON.
struct Cell {
    QString text;
    QJsonValue json;
};

struct Column {
    const char* key;
    const char* title;
    int width; // in text, the last column is not padded
};

// Prints rows as aligned text (like last), CSV with a title row, or one JSON object per line.
class Printer
{
public:
    Printer(Format format, std::vector<Column> columns) : m_format(format), m_columns(std::move(columns))
    {
        QStringList titles;
        for (const Column& c : m_columns)
            titles << QString::fromLatin1(c.title);
        if (m_format == Format::Csv)
            write(csvRecord(titles));
        else if (m_format == Format::Text)
            write(aligned(titles));
    }
    void print(const std::vector<Cell>& row)
    {
        QStringList texts;
        QJsonObject object;
        for (std::size_t i = 0; i < row.size(); ++i) {
            texts << row[i].text;
            object.insert(QLatin1String(m_columns[i].key), row[i].json);
        }
        if (m_format == Format::Json)
            write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
        else
            write(m_format == Format::Csv ? csvRecord(texts) : aligned(texts));
    }

private:
    QByteArray aligned(const QStringList& texts) const
    {
        QString line;
        for (qsizetype i = 0; i < texts.size(); ++i)
            line += i + 1 < texts.size() ? texts[i].leftJustified(m_columns[std::size_t(i)].width) + u' '
                                         : texts[i];
        return line.trimmed().toUtf8() + '\n';
    }
    static void write(const QByteArray& bytes)
    {
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    }

    Format m_format;
    std::vector<Column> m_columns;
};

Cell text(const QString& value)
{
    return {value, value};
}

Cell number(qint64 value)
{
    return {QString::number(value), value};
}

Cell dotted(quint32 hostOrder)
{
    return text(QString::fromLatin1(FormatIPAddress(datagramOrder(hostOrder))));
}

// Local time, to the second; JSON has it in ISO 8601 with the offset from UTC.
Cell moment(qint64 micros)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(micros / 1000);
    return {local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate)};
}

// [D+]HH:MM:SS; JSON has the seconds.
Cell duration(qint64 micros)
{
    const qint64 s = micros / 1000000;
    const QString hms = QStringLiteral("%1:%2:%3")
                            .arg(s / 3600 % 24, 2, 10, QLatin1Char('0'))
                            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return {s >= 86400 ? QStringLiteral("%1+%2").arg(s / 86400).arg(hms) : hms, s};
}

// ISO 8601 local time: 2026-12-01T14:05, 2026-12-01 14:05:00, or a date alone (its midnight).
std::optional<qint64> parseMoment(QString value)
{
    value = value.trimmed().replace(QLatin1Char(' '), QLatin1Char('T'));
    QDateTime at = QDateTime::fromString(value, Qt::ISODate);
    if (!value.contains(QLatin1Char('T')))
        at = QDate::fromString(value, Qt::ISODate).startOfDay();
    return at.isValid() ? std::optional<qint64>(at.toMSecsSinceEpoch() * 1000) : std::nullopt;
}

int complain(const QString& text, int code)
{
    std::fprintf(stderr, "sorvane: %s\n", qPrintable(text));
    return code;
}

QString helpText(const QCommandLineParser& parser, const QString& command)
{
    return parser.helpText().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                                     QStringLiteral("Usage: sorvane ") + command);
}

struct Common {
    QCommandLineOption store{QStringLiteral("store"),
                             QStringLiteral("The store (default: the monitor's, from its settings)."),
                             QStringLiteral("PATH")};
    QCommandLineOption settings{QStringLiteral("settings"),
                                QStringLiteral("The monitor's settings file, for its store and site."),
                                QStringLiteral("FILE")};
};

// The store and site that --store and the monitor's settings name; -1 to go on, else the exit code.
int storeOf(const QCommandLineParser& parser, const Common& common, StoreOptions& store)
{
    QStringList monitor{QStringLiteral("sorvane")};
    if (parser.isSet(common.settings))
        monitor << QStringLiteral("--settings") << parser.value(common.settings);
    if (parser.isSet(common.store))
        monitor << QStringLiteral("--store") << parser.value(common.store);
    AppSettings settings;
    const int code = parseCommandLine(monitor, settings);
    store = settings.store;
    if (code < 0 && store.path.isEmpty())
        return complain(QStringLiteral("no store: the settings say store=none; name one with --store"), 2);
    return code;
}

int runImport(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Brings log files, and the rotated and .gz files logrotate made of them, into the "
                       "event store: lines already there, imported or stored live, are skipped. Run it as "
                       "the store's owner, while no monitor keeps the store."));
    const QCommandLineOption help = parser.addHelpOption();
    const Common common;
    parser.addOptions({common.store, common.settings});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A log file."),
                                 QStringLiteral("FILE..."));
    if (!parser.parse(arguments))
        return complain(parser.errorText(), 2);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText(parser, QStringLiteral("import"))), stdout);
        return 0;
    }
    if (parser.positionalArguments().isEmpty())
        return complain(QStringLiteral("import needs at least one log FILE"), 2);
    StoreOptions store;
    if (const int code = storeOf(parser, common, store); code >= 0)
        return code;
    if (isServerLocation(store.path))
        return complain(QStringLiteral("import brings logs into a store file, not a server"), 2);
    LogImport import;
    if (const QString why = import.open(store.path, store.site); !why.isEmpty())
        return complain(QStringLiteral("store %1: %2").arg(store.path, why), 1);
    int code = 0;
    for (const QString& file : parser.positionalArguments()) {
        if (const QString why = import.importLog(QFile::encodeName(file)); !why.isEmpty())
            code = complain(why, 1);
    }
    const ImportCounts& counts = import.counts();
    std::printf("%llu lines read, %llu added, %llu already there, %llu not understood\n",
                static_cast<unsigned long long>(counts.read), static_cast<unsigned long long>(counts.added),
                static_cast<unsigned long long>(counts.present),
                static_cast<unsigned long long>(counts.notUnderstood));
    return code;
}

int runQuery(const QString& command, const QStringList& arguments)
{
    const bool sessions = command == QLatin1String("sessions");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        sessions ? QStringLiteral("Lists the sessions in the event store (who was online, from when to when, "
                                  "and what ended it), oldest first, like last; or each user's total time.")
                 : QStringLiteral("Lists the events in the event store, oldest first."));
    const QCommandLineOption help = parser.addHelpOption();
    const Common common;
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Only this user."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Only this user address."),
                                     QStringLiteral("A.B.C.D"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Only this firewall server."),
                                    QStringLiteral("A.B.C.D"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("From this local time, ISO 8601: 2026-12-01T14:05, "
                                                 "\"2026-12-01 14:05:00\" or a date alone (its midnight)."),
                                  QStringLiteral("TIME"));
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("Before this local time."),
                                QStringLiteral("TIME"));
    const QCommandLineOption at(QStringLiteral("at"), QStringLiteral("Who was online at this local time."),
                                QStringLiteral("TIME"));
    const QCommandLineOption totals(QStringLiteral("totals"),
                                    QStringLiteral("Each user's sessions and time online, counting only the "
                                                   "part inside --from and --to, like ac -p."));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("text (default), csv, or json (one object per line)."),
                                    QStringLiteral("FORMAT"));
    parser.addOptions({common.store, common.settings, user, address, server, from, to, at, totals});
    parser.addOption(format);
    if (!parser.parse(arguments))
        return complain(parser.errorText(), 2);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText(parser, command)), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return complain(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()),
                        2);
    for (const QCommandLineOption* sessionsOnly : {&at, &totals})
        if (!sessions && parser.isSet(*sessionsOnly))
            return complain(
                QStringLiteral("--%1 is for sessions, not events").arg(sessionsOnly->names().first()), 2);

    StoreQuery query;
    query.user = parser.value(user);
    for (const auto& [option, into] : {std::pair{&address, &query.address}, {&server, &query.server}}) {
        quint32 value = 0;
        if (!parser.isSet(*option))
            continue;
        if (!parseIPv4(parser.value(*option), value))
            return complain(QStringLiteral("--%1 needs an IPv4 address a.b.c.d, not \"%2\"")
                                .arg(option->names().first(), parser.value(*option)),
                            2);
        *into = value;
    }
    for (const auto& [option, into] :
         {std::pair{&from, &query.fromMicros}, {&to, &query.toMicros}, {&at, &query.atMicros}}) {
        if (!parser.isSet(*option))
            continue;
        *into = parseMoment(parser.value(*option));
        if (!*into)
            return complain(QStringLiteral("--%1 needs a local time such as 2026-12-01T14:05, not \"%2\"")
                                .arg(option->names().first(), parser.value(*option)),
                            2);
    }
    if (query.atMicros && (query.fromMicros || query.toMicros))
        return complain(QStringLiteral("--at is a moment: give it without --from and --to"), 2);
    if (query.fromMicros && query.toMicros && *query.fromMicros >= *query.toMicros)
        return complain(QStringLiteral("--from must come before --to"), 2);
    const QString formatName = parser.isSet(format) ? parser.value(format) : QStringLiteral("text");
    const QStringList formats{QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("json")};
    if (!formats.contains(formatName))
        return complain(QStringLiteral("--format needs text, csv or json, not \"%1\"").arg(formatName), 2);
    const Format chosen = Format(formats.indexOf(formatName));

    StoreOptions store;
    if (const int code = storeOf(parser, common, store); code >= 0)
        return code;
    StoreReader reader;
    if (const QString why = reader.open(store.path); !why.isEmpty())
        return complain(QStringLiteral("store %1: %2").arg(store.path, why), 1);
    const qint64 now = QDateTime::currentMSecsSinceEpoch() * 1000;
    QString why;
    if (parser.isSet(totals)) {
        std::vector<UserTotal> sums;
        why = reader.totals(query, now, sums);
        Printer printer(chosen, {{"user", "USER", 16}, {"sessions", "SESSIONS", 8}, {"seconds", "TIME", 0}});
        for (const UserTotal& sum : sums)
            printer.print({text(sum.user), number(sum.sessions), duration(sum.micros)});
    } else if (sessions) {
        Printer printer(chosen, {{"user", "USER", 16},
                                 {"address", "ADDRESS", 15},
                                 {"server", "SERVER", 15},
                                 {"start", "START", 19},
                                 {"end", "END", 19},
                                 {"seconds", "DURATION", 11},
                                 {"how", "HOW", 24},
                                 {"group", "GROUP", 16},
                                 {"site", "SITE", 0}});
        why = reader.sessions(query, [&](const std::vector<StoredSession>& chunk) {
            for (const StoredSession& s : chunk)
                printer.print(
                    {text(s.user), dotted(s.address), dotted(s.server), moment(s.startMicros),
                     s.endMicros ? moment(*s.endMicros) : Cell{QStringLiteral("online"), QJsonValue()},
                     duration(s.endMicros.value_or(now) - s.startMicros),
                     s.endMicros ? text(s.how) : Cell{QStringLiteral("still online"), QJsonValue()},
                     text(s.group), text(s.site)});
            return true;
        });
    } else {
        Printer printer(chosen, {{"time", "TIME", 19},
                                 {"user", "USER", 16},
                                 {"address", "ADDRESS", 15},
                                 {"server", "SERVER", 15},
                                 {"event", "EVENT", 22},
                                 {"group", "GROUP", 16},
                                 {"imported", "IMPORTED", 8},
                                 {"site", "SITE", 0}});
        why = reader.events(query, [&](const std::vector<StoredEvent>& chunk) {
            for (const StoredEvent& e : chunk) {
                const QString keyword = QString::fromLatin1(eventKeyword(e.code));
                printer.print({moment(e.arrivalMicros), text(e.user), dotted(e.address), dotted(e.server),
                               text(keyword.isEmpty() ? QString::number(e.code) : keyword), text(e.group),
                               Cell{e.imported ? QStringLiteral("imported") : QString(), e.imported},
                               text(e.site)});
            }
            return true;
        });
    }
    return why.isEmpty() ? 0 : complain(QStringLiteral("store %1: %2").arg(store.path, why), 1);
}

} // namespace

int runStoreCommand(const QStringList& arguments)
{
    const QString command = arguments.value(1);
    QStringList rest = arguments.mid(2);
    rest.prepend(arguments.value(0));
    if (command == QLatin1String("import"))
        return runImport(rest);
    if (command == QLatin1String("sessions") || command == QLatin1String("events"))
        return runQuery(command, rest);
    return -1;
}
