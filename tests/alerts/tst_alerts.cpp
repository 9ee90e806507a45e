// SPDX-License-Identifier: GPL-3.0-or-later
#include "alerts/AlertRules.h"
#include "events/Address.h"

#include <QHashSeed>
#include <QTest>

#include <vector>

namespace
{

// One event: when it arrives (ms), its code, and who: server 10.0.0.S, user, address 172.16.0.A.
struct Step {
    qint64 ms;
    quint32 code;
    quint8 server;
    QByteArray user;
    quint8 address = 1;
};
using Steps = std::vector<Step>;

constexpr qint64 MIN = 60000;

// "MS RULE S/WHO": WHO is the address's last number for user-name guessing, else the user.
QString describe(const Alert& a)
{
    const QByteArray server = FormatIPAddress(a.server);
    const QByteArray address = FormatIPAddress(a.address);
    const QByteArray who =
        a.rule == AlertRule::UserNameGuessing ? address.mid(address.lastIndexOf('.') + 1) : a.user;
    return QString::number(a.arrivalMonotonic) + " " + alertRuleKey(a.rule) + " " +
           server.mid(server.lastIndexOf('.') + 1) + "/" + who;
}

// Each event in a batch of its own, as the pipeline hands them on.
QStringList run(AlertRules& rules, const Steps& steps)
{
    QStringList raised;
    QObject::connect(&rules, &AlertRules::alertsRaised, [&raised](const AlertBatch& alerts) {
        for (const Alert& a : alerts)
            raised << describe(a);
    });
    for (const Step& s : steps) {
        EventBatch batch;
        EventRecord r;
        r.EventCode = s.code;
        setField(r.Username, USERNAME_WIDTH, s.user);
        r.ServerIPAddress = ipAddressFromBytes(10, 0, 0, s.server);
        r.IPAddress = ipAddressFromBytes(172, 16, 0, s.address);
        batch.events.push_back(r);
        batch.arrivalMonotonic = s.ms;
        batch.arrivalMicros = 1'780'000'000'000'000 + s.ms * 1000;
        rules.takeBatch(batch);
    }
    return raised;
}

// `count` invalid passwords of `user` at server 1, `gap` ms apart from `from`.
Steps passwords(const QByteArray& user, int count, qint64 from, qint64 gap, quint8 server = 1)
{
    Steps steps;
    for (int i = 0; i < count; ++i)
        steps.push_back({from + i * gap, TryingInvalidPasswords, server, user});
    return steps;
}

Steps operator+(Steps a, const Steps& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

Q_DECLARE_METATYPE(Steps)

class AlertsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The same hash collisions in every run.
        QHashSeed::setDeterministicGlobalSeed();
    }

    void rulesRaiseAlerts_data()
    {
        QTest::addColumn<QStringList>("off");
        QTest::addColumn<int>("maxKeys");
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("expected");
        const QStringList none;

        QTest::newRow("one alert per event of the single rules, none for the others")
            << none << 10
            << Steps{{0, LoggedOn, 1, "ann"},
                     {1, AccountLockedUp, 1, "ann"},
                     {2, AccountMarkedForLockUp, 2, "bo"},
                     {3, AccountIsDisabled, 1, "cy"},
                     {4, FirewallRebooted, 3, ""},
                     {5, AccessingFilteredSites, 1, "di"},
                     {6, LoggedOff, 1, "ann"},
                     {7, AccessTimeExpired, 1, "di"},
                     {8, AccountLockedUp, 1, "ann"},
                     {9, 42, 1, "ann"}}
            << QStringList{"1 account-locked 1/ann", "2 marked-for-lock-up 2/bo", "3 account-disabled 1/cy",
                           "4 firewall-rebooted 3/", "5 filtered-site 1/di",      "8 account-locked 1/ann"};
        QTest::newRow("the fifth invalid password within ten minutes")
            << none << 10 << passwords("ann", 6, 0, MIN) << QStringList{"240000 password-guessing 1/ann"};
        QTest::newRow("ten minutes apart is not within, a millisecond less is")
            << none << 10
            << passwords("ann", 4, 0, MIN) + passwords("ann", 1, 10 * MIN, 0) + passwords("bo", 4, 0, MIN) +
                   passwords("bo", 1, 10 * MIN - 1, 0)
            << QStringList{"599999 password-guessing 1/bo"};
        // The silence lasts until a window passes with no event of the key.
        QTest::newRow("silent until a quiet window, then counting from one")
            << none << 10
            << passwords("ann", 5, 0, 1000) + passwords("ann", 4, 9 * MIN, 9 * MIN) +
                   passwords("ann", 5, 46 * MIN, 1000) + passwords("bo", 5, 0, 1000) +
                   passwords("bo", 1, 5 * MIN, 0) + passwords("bo", 5, 10 * MIN + 5000, 1000)
            << QStringList{"4000 password-guessing 1/ann", "2764000 password-guessing 1/ann",
                           "4000 password-guessing 1/bo"};
        QTest::newRow("two servers and two users count apart")
            << none << 10
            << passwords("ann", 4, 0, 10) + passwords("ann", 4, 100, 10, 2) + passwords("bo", 4, 200, 10) +
                   passwords("ann", 1, 300, 0, 2)
            << QStringList{"300 password-guessing 2/ann"};
        Steps names;
        for (int i = 0; i < 5; ++i) {
            const char* guessed[] = {"root", "admin", "test", "guest", "user1"};
            names.push_back({i * 1000, TryingInvalidUserNames, 1, guessed[i], 9});
            names.push_back({i * 1000 + 1, TryingInvalidUserNames, 1, "root", quint8(20 + i)});
        }
        QTest::newRow("user names counted by address, whatever the name")
            << none << 10 << names << QStringList{"4000 user-name-guessing 1/9"};
        QTest::newRow("past the bound the least recently seen key is forgotten")
            << none << 2
            << passwords("ann", 3, 0, 10) + passwords("bo", 4, 100, 10) + passwords("ann", 1, 200, 0) +
                   passwords("cy", 1, 300, 0) + passwords("ann", 1, 400, 0) + passwords("bo", 1, 500, 0)
            << QStringList{"400 password-guessing 1/ann"};
        QTest::newRow("rules turned off")
            << QStringList{"account-locked", "password-guessing"} << 10
            << Steps{{0, AccountLockedUp, 1, "ann"}, {1, AccountIsDisabled, 1, "ann"}} +
                   passwords("bo", 5, 2, 1)
            << QStringList{"1 account-disabled 1/ann"};
    }

    void rulesRaiseAlerts()
    {
        QFETCH(QStringList, off);
        QFETCH(int, maxKeys);
        QFETCH(Steps, steps);
        QFETCH(QStringList, expected);
        AlertOptions options;
        for (int r = 0; r < ALERT_RULE_COUNT; ++r)
            options.enabled[std::size_t(r)] = !off.contains(alertRuleKey(AlertRule(r)));
        AlertRules rules(options, std::size_t(maxKeys));
        QCOMPARE(run(rules, steps), expected);
        QVERIFY(rules.tracker().size() <= std::size_t(maxKeys));
    }
};

QTEST_GUILESS_MAIN(AlertsTest)
#include "tst_alerts.moc"
