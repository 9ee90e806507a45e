// SPDX-License-Identifier: GPL-3.0-or-later
#include "sessionswindow/QueryRun.h"

#include "events/Address.h"
#include "events/EventCodes.h"
#include "widgets/TimeText.h"

#include <QDateTime>

namespace
{

constexpr qint64 SECOND_US = 1000000;

QByteArray localTime(qint64 micros)
{
    return QDateTime::fromMSecsSinceEpoch(micros / 1000).toString(timeFormat()).toLatin1();
}

QByteArray dotted(quint32 hostOrder)
{
    return FormatIPAddress(datagramOrder(hostOrder));
}

// Hours, minutes and seconds, the hours as many as there are.
QByteArray duration(qint64 micros)
{
    const qint64 seconds = std::max<qint64>(0, micros) / SECOND_US;
    return QString::asprintf("%lld:%02d:%02d", seconds / 3600, int(seconds / 60 % 60), int(seconds % 60))
        .toLatin1();
}

QByteArray joined(std::initializer_list<QByteArray> cells)
{
    QByteArray row;
    bool first = true;
    for (const QByteArray& cell : cells) {
        if (!first)
            row += '\0';
        row += cell;
        first = false;
    }
    return row;
}

QByteArray sessionRow(const StoredSession& s, qint64 nowMicros)
{
    const qint64 end = s.endMicros.value_or(nowMicros);
    return joined({s.user.toLatin1(), s.group.toLatin1(), dotted(s.address), dotted(s.server),
                   localTime(s.startMicros), s.endMicros ? localTime(*s.endMicros) : QByteArray("online"),
                   duration(end - s.startMicros), s.how.toLatin1(), s.site.toLatin1()});
}

QByteArray eventRow(const StoredEvent& e)
{
    const char* keyword = eventKeyword(e.code);
    return joined({localTime(e.arrivalMicros), *keyword ? QByteArray(keyword) : QByteArray::number(e.code),
                   e.user.toLatin1(), e.group.toLatin1(), e.imported ? QByteArray() : dotted(e.address),
                   dotted(e.server), e.loginTime.toLatin1(), e.date.toLatin1(), e.time.toLatin1(),
                   QByteArray::number(e.header), e.site.toLatin1(), e.imported ? "imported" : "live"});
}

QByteArray totalRow(const UserTotal& t)
{
    return joined({t.user.toLatin1(), QByteArray::number(t.sessions), duration(t.micros),
                   QByteArray::number(double(t.micros) / (3600.0 * SECOND_US), 'f', 2)});
}

} // namespace

QStringList resultTitles(ResultKind kind)
{
    switch (kind) {
    case ResultKind::Sessions:
        return {QStringLiteral("User"),     QStringLiteral("Group"),    QStringLiteral("Address"),
                QStringLiteral("Server"),   QStringLiteral("Start"),    QStringLiteral("End"),
                QStringLiteral("Duration"), QStringLiteral("Ended by"), QStringLiteral("Site")};
    case ResultKind::Events:
        return {QStringLiteral("Arrival"),    QStringLiteral("Event"),   QStringLiteral("User"),
                QStringLiteral("Group"),      QStringLiteral("Address"), QStringLiteral("Server"),
                QStringLiteral("Login time"), QStringLiteral("Date"),    QStringLiteral("Time"),
                QStringLiteral("Header"),     QStringLiteral("Site"),    QStringLiteral("Source")};
    case ResultKind::Totals:
        break;
    }
    return {QStringLiteral("User"), QStringLiteral("Sessions"), QStringLiteral("Time online"),
            QStringLiteral("Hours")};
}

QueryRun::QueryRun(const QString& location, const StoreQuery& query, ResultKind kind, qint64 nowMicros,
                   RowsTaken rows, Ended ended, QObject* parent)
    : QObject(parent), m_rows(std::move(rows)), m_ended(std::move(ended))
{
    m_thread = std::thread([=] { run(location, query, kind, nowMicros); });
}

QueryRun::~QueryRun()
{
    cancel();
    m_thread.join();
}

bool QueryRun::hand(std::vector<QByteArray> rows)
{
    if (m_cancelled.load())
        return false;
    // Queued to this object: dropped unread if it is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, rows = std::move(rows)]() mutable {
            if (!m_cancelled.load())
                m_rows(std::move(rows));
        },
        Qt::QueuedConnection);
    return true;
}

void QueryRun::run(const QString& location, const StoreQuery& query, ResultKind kind, qint64 nowMicros)
{
    QString error;
    {
        StoreReader reader;
        error = reader.open(location);
        if (error.isEmpty() && kind == ResultKind::Sessions) {
            error = reader.sessions(query, [&](const std::vector<StoredSession>& sessions) {
                std::vector<QByteArray> rows;
                rows.reserve(sessions.size());
                for (const StoredSession& s : sessions)
                    rows.push_back(sessionRow(s, nowMicros));
                return hand(std::move(rows));
            });
        } else if (error.isEmpty() && kind == ResultKind::Events) {
            error = reader.events(query, [&](const std::vector<StoredEvent>& events) {
                std::vector<QByteArray> rows;
                rows.reserve(events.size());
                for (const StoredEvent& e : events)
                    rows.push_back(eventRow(e));
                return hand(std::move(rows));
            });
        } else if (error.isEmpty()) {
            std::vector<UserTotal> totals;
            error = reader.totals(query, nowMicros, totals);
            std::vector<QByteArray> rows;
            for (const UserTotal& t : totals)
                rows.push_back(totalRow(t));
            if (error.isEmpty())
                hand(std::move(rows));
        }
    }
    QMetaObject::invokeMethod(
        this,
        [this, error] {
            // A cancelled run is nobody's any more: it goes by itself.
            if (m_cancelled.load())
                deleteLater();
            else
                m_ended(error);
        },
        Qt::QueuedConnection);
}
