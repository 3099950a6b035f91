// Timer1: the 1 ms stepping clock behind EnableSteppingTimer / DisableSteppingTimer, on the
// one event-loop thread.
#pragma once

#include "tickscheduler.h"

#include <QObject>
#include <QTimer>
#include <memory>

class QSocketNotifier;

class SteppingClock : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Starting a running clock leaves it running, phase and all.
    virtual void Start() = 0;
    // No tick is delivered after Stop returns.
    virtual void Stop() = 0;
    virtual bool IsRunning() const = 0;

signals:
    void Tick();
};

// A plain 1 ms precise QTimer. Each late wake-up re-anchors its next deadline, so it runs
// slow; kept where timerfd does not exist and as the benchmark baseline.
class QTimerSteppingClock final : public SteppingClock {
    Q_OBJECT
public:
    explicit QTimerSteppingClock(QObject* parent = nullptr);
    void Start() override;
    void Stop() override { timer_.stop(); }
    bool IsRunning() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

#ifdef __linux__
// An absolute 1 ms grid on a CLOCK_MONOTONIC timerfd, watched by the event loop.
class TimerfdSteppingClock final : public SteppingClock {
    Q_OBJECT
public:
    explicit TimerfdSteppingClock(QObject* parent = nullptr);
    ~TimerfdSteppingClock() override;
    bool IsValid() const { return fd_ >= 0; }
    void Start() override;
    void Stop() override;
    bool IsRunning() const override { return scheduler_.IsRunning(); }

private:
    void OnExpired();
    void Arm(std::int64_t deadline);

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    TickScheduler scheduler_;
};
#endif

// The best clock this system offers.
std::unique_ptr<SteppingClock> MakeSteppingClock();

std::int64_t MonotonicNanoseconds();
