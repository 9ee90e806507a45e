// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "events/EventRecord.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QVector>

// The story of the demo: users of several groups at a few servers log on and off, mistype
// passwords, get locked out, hit filtered sites, run out of time, and now and then a firewall reboots.
class DemoDay
{
public:
    DemoDay(const QVector<quint32>& servers, quint32 seed);

    // The next event, stamped with the given date and time texts.
    EventRecord next(const QByteArray& date, const QByteArray& time);

    // Pause before the next event: 200 to 500 ms, so 2 to 5 events a second.
    int nextDelayMs();

    int onlineCount() const;

private:
    struct User {
        QByteArray name;
        QByteArray group;
        quint32 ip = 0;
        int server = 0;
        bool online = false;
        bool disabled = false;
        qint64 lockedUntil = -1; // event number from which a locked account may log on again
        QByteArray loginTime;
    };
    struct Pending {
        quint32 code = 0;
        int user = -1;       // index into m_users, or -1 for a made-up name / a reboot
        QByteArray name;     // for made-up names
        quint32 address = 0; // where a made-up name comes from
        int server = 0;
    };

    void planNext();
    int pickUser(bool online);
    void queue(quint32 code, int user);
    EventRecord build(const Pending& pending, const QByteArray& date, const QByteArray& time);

    QVector<quint32> m_servers;
    QVector<User> m_users;
    QVector<Pending> m_pending;
    QRandomGenerator m_random;
    qint64 m_eventNumber = 0;
    qint64 m_nextReboot = 0;
};
