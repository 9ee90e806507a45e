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

// `count` invalid passwords of `user` at server 1, `gap` ms apart from `from`.
Steps tries(const QByteArray& user, int count, qint64 from, qint64 gap, quint8 server = 1)
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
    void rulesRaiseAlerts_data()
    {
        // A rule whose key the row's name holds is off; the row of the bound keeps two keys, others ten.
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("expected");

        const Steps single = {{0, LoggedOn, 1, "ann"},
                              {1, AccountLockedUp, 1, "ann"},
                              {2, AccountMarkedForLockUp, 2, "bo"},
                              {3, AccountIsDisabled, 1, "cy"},
                              {4, FirewallRebooted, 3, ""},
                              {5, AccessingFilteredSites, 1, "di"},
                              {6, LoggedOff, 1, "ann"},
                              {8, AccountLockedUp, 1, "ann"},
                              {9, 42, 1, "ann"}};
        QTest::newRow("one alert per event of the single rules, none for the others")
            << single
            << QStringList{"1 account-locked 1/ann", "2 marked-for-lock-up 2/bo", "3 account-disabled 1/cy",
                           "4 firewall-rebooted 3/", "5 filtered-site 1/di",      "8 account-locked 1/ann"};
        QTest::newRow("the fifth invalid password within ten minutes")
            << tries("ann", 6, 0, MIN) << QStringList{"240000 password-guessing 1/ann"};
        QTest::newRow("ten minutes apart is not within, a millisecond less is")
            << tries("ann", 4, 0, MIN) + tries("ann", 1, 10 * MIN, 0) + tries("bo", 4, 0, MIN) +
                   tries("bo", 1, 10 * MIN - 1, 0)
            << QStringList{"599999 password-guessing 1/bo"};
        // The silence lasts until a window passes with no event of the key.
        QTest::newRow("silent until a quiet window, then counting from one")
            << tries("ann", 5, 0, 1000) + tries("ann", 4, 9 * MIN, 9 * MIN) +
                   tries("ann", 5, 46 * MIN, 1000) + tries("bo", 5, 0, 1000) + tries("bo", 1, 5 * MIN, 0) +
                   tries("bo", 5, 10 * MIN + 5000, 1000)
            << QStringList{"4000 password-guessing 1/ann", "2764000 password-guessing 1/ann",
                           "4000 password-guessing 1/bo"};
        QTest::newRow("two servers and two users count apart")
            << tries("ann", 4, 0, 10) + tries("ann", 4, 100, 10, 2) + tries("bo", 4, 200, 10) +
                   tries("ann", 1, 300, 0, 2)
            << QStringList{"300 password-guessing 2/ann"};
        Steps names;
        for (int i = 0; i < 5; ++i) {
            const char* guessed[] = {"root", "admin", "test", "guest", "user1"};
            names.push_back({i * 1000, TryingInvalidUserNames, 1, guessed[i], 9});
            names.push_back({i * 1000 + 1, TryingInvalidUserNames, 1, "root", quint8(20 + i)});
        }
        QTest::newRow("user names counted by address, whatever the name")
            << names << QStringList{"4000 user-name-guessing 1/9"};
        QTest::newRow("past the bound the least recently seen key is forgotten")
            << tries("ann", 3, 0, 10) + tries("bo", 4, 100, 10) + tries("ann", 1, 200, 0) +
                   tries("cy", 1, 300, 0) + tries("ann", 1, 400, 0) + tries("bo", 1, 500, 0)
            << QStringList{"400 password-guessing 1/ann"};
        Steps churn; // each stranger forgets the one before, bo forgets ann: removals from a crowded index
        for (int i = 0; i < 60; ++i)
            churn = churn + tries(i % 12 ? "ann" : "bo", 1, i * 100, 0) +
                    tries("x" + QByteArray::number(i), 1, i * 100 + 50, 0);
        QTest::newRow("past the bound, a key seen often is kept while strangers come and go")
            << churn
            << QStringList{"500 password-guessing 1/ann", "1700 password-guessing 1/ann",
                           "2900 password-guessing 1/ann", "4100 password-guessing 1/ann",
                           "5300 password-guessing 1/ann"};
        QTest::newRow("account-locked and password-guessing turned off")
            << Steps{{0, AccountLockedUp, 1, "ann"}, {1, AccountIsDisabled, 1, "ann"}} + tries("bo", 5, 2, 1)
            << QStringList{"1 account-disabled 1/ann"};
    }

    void rulesRaiseAlerts()
    {
        QFETCH(Steps, steps);
        QFETCH(QStringList, expected);
        QHashSeed::setDeterministicGlobalSeed(); // the same hash collisions in every run
        const QString tag = QTest::currentDataTag();
        const std::size_t maxKeys = tag.contains("bound") ? 2 : 10;
        AlertOptions options;
        for (int r = 0; r < ALERT_RULE_COUNT; ++r)
            options.enabled[std::size_t(r)] = !tag.contains(alertRuleKey(AlertRule(r)));
        AlertRules rules(options, maxKeys);
        // "MS RULE S/WHO": the server's last number; the address's for user-name guessing, else the user.
        QStringList raised;
        connect(&rules, &AlertRules::alertsRaised, this, [&raised](const AlertBatch& alerts) {
            for (const Alert& a : alerts)
                raised << QStringLiteral("%1 %2 %3/%4")
                              .arg(a.arrivalMonotonic)
                              .arg(alertRuleKey(a.rule))
                              .arg(a.server >> 24)
                              .arg(a.rule == AlertRule::UserNameGuessing ? QByteArray::number(a.address >> 24)
                                                                         : a.user);
        });
        // Each event in a batch of its own, as the pipeline hands them on.
        for (const Step& s : steps) {
            EventRecord r;
            r.EventCode = s.code;
            setField(r.Username, USERNAME_WIDTH, s.user);
            r.ServerIPAddress = ipAddressFromBytes(10, 0, 0, s.server);
            r.IPAddress = ipAddressFromBytes(172, 16, 0, s.address);
            rules.takeBatch(EventBatch{{r}, 0, s.ms});
        }
        QCOMPARE(raised, expected);
        QVERIFY(rules.tracker().size() <= maxKeys);
    }
};

QTEST_GUILESS_MAIN(AlertsTest)
#include "tst_alerts.moc"
