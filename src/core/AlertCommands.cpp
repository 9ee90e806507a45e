// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AlertCommands.h"

#include "events/Address.h"
#include "forward/SyslogMessage.h"

#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace
{

QString alertText(const Alert& alert, int count)
{
    const QString what = QString::fromLatin1(alertWhat(alert.rule));
    const QString who = QString::fromLatin1(alertWho(alert));
    return count == 1 ? what + QStringLiteral(": ") + who
                      : QStringLiteral("%1, %2 times; the last: %3").arg(what).arg(count).arg(who);
}

void killGroup(const QProcess& process)
{
    // Its own group, made at its start, is held while it has not been reaped.
    if (process.state() != QProcess::NotRunning)
        ::kill(-pid_t(process.processId()), SIGKILL);
}

} // namespace

AlertCommands::AlertCommands(const AlertCommandOptions& options, int foldIntervalMs, QObject* parent)
    : QObject(parent), m_options(options), m_folder(foldIntervalMs),
      m_environment(QProcessEnvironment::systemEnvironment())
{
    connect(&m_folder, &AlertFolder::passed, this, &AlertCommands::enqueue);
}

AlertCommands::~AlertCommands()
{
    finish(QDeadlineTimer(0));
}

void AlertCommands::take(const AlertBatch& alerts, int foldIntervalMs)
{
    if (m_finishing)
        return;
    m_folder.setInterval(foldIntervalMs);
    m_folder.take(alerts);
}

void AlertCommands::enqueue(const Alert& alert, int folded)
{
    const Run run{alert, std::max(folded, 1)};
    if (m_running.size() < std::size_t(m_options.mostRunning))
        start(run);
    else if (m_waiting.size() < std::size_t(m_options.mostWaiting))
        m_waiting.push_back(run);
    else
        addFailed(1);
}

void AlertCommands::start(const Run& run)
{
    const Alert& alert = run.alert;
    QProcessEnvironment environment = m_environment;
    environment.insert(QStringLiteral("SORVANE_ALERT_RULE"), QString::fromLatin1(alertRuleKey(alert.rule)));
    environment.insert(QStringLiteral("SORVANE_ALERT_SERVER"),
                       QString::fromLatin1(FormatIPAddress(alert.server)));
    environment.insert(QStringLiteral("SORVANE_ALERT_USER"), QString::fromLatin1(alert.user));
    environment.insert(QStringLiteral("SORVANE_ALERT_ADDRESS"),
                       QString::fromLatin1(FormatIPAddress(alert.address)));
    environment.insert(QStringLiteral("SORVANE_ALERT_TIME"),
                       QString::fromLatin1(rfc3339Timestamp(alert.arrivalMicros)));
    const QString text = alertText(alert, run.count);
    environment.insert(QStringLiteral("SORVANE_ALERT_TEXT"), text);
    environment.insert(QStringLiteral("SORVANE_ALERT_COUNT"), QString::number(run.count));

    auto* process = new QProcess(this);
    m_running.push_back(process);
    process->setProgram(m_options.path);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    // A group of its own, so that whatever it starts ends with it when it is killed.
    process->setChildProcessModifier([] { ::setsid(); });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        ended(process, status == QProcess::NormalExit && code == 0);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(process, false);
    });
    QTimer::singleShot(m_options.killAfterMs, process, [process] { killGroup(*process); });
    connect(process, &QProcess::started, process, [process, text] {
        process->write(text.toUtf8() + '\n');
        process->closeWriteChannel();
    });
    process->start();
}

void AlertCommands::ended(QProcess* process, bool ok)
{
    m_running.erase(std::remove(m_running.begin(), m_running.end(), process), m_running.end());
    process->deleteLater();
    if (!ok)
        addFailed(1);
    if (m_finishing || m_waiting.empty())
        return;
    const Run next = m_waiting.front();
    m_waiting.pop_front();
    start(next);
}

void AlertCommands::finish(QDeadlineTimer deadline)
{
    m_finishing = true;
    addFailed(m_waiting.size() + quint64(m_folder.clear()));
    m_waiting.clear();
    // The monitor is ending: waiting here holds up nothing that still runs.
    const std::vector<QProcess*> running = m_running;
    for (QProcess* process : running) {
        if (process->waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 0))))
            continue;
        killGroup(*process);
        process->waitForFinished(1000);
    }
}

void AlertCommands::addFailed(quint64 count)
{
    if (count == 0)
        return;
    m_failed += count;
    emit failedChanged();
}
