#pragma once

#include "app/Sorvane.h"
#include "forward/Forwarder.h"
#include "intake/EventIntake.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

// The monitor without a window, for a server with no display: the event pipeline, its log and the
// forwarder in a core application, and no discovery. Its status lines go to standard error: the
// status at start, then every `statusPeriodMs` while a counter is not zero or a condition lasts,
// and at once when the conditions change.
class HeadlessMonitor : public QObject
{
    Q_OBJECT
public:
    explicit HeadlessMonitor(const AppSettings& settings, std::function<void(const QString&)> print = {});
    ~HeadlessMonitor() override;

    // Opens the event socket and prints the first status line; false when no event can arrive.
    bool start();
    // Writes and forwards what has arrived, gives the forwarder FORWARD_FINISH_MS to send what
    // waits, prints the status if anything went missing, and ends the event loop with 0.
    void stop();

    QString statusText() const;
    void setStatusPeriod(int milliseconds) { m_tick.setInterval(milliseconds); }
    const Forwarder& forwarder() const { return m_forwarder; }

private:
    void printStatus();
    void onTick();
    void onForwarderStatus();

    std::function<void(const QString&)> m_print;
    EventIntake m_intake;
    Forwarder m_forwarder;
    QTimer m_tick;
    QStringList m_shownConditions;
    std::size_t m_lastBatchSize = 0;
    bool m_stopping = false;
};
