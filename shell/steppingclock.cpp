#include "steppingclock.h"

#include <QSocketNotifier>
#include <ctime>

#ifdef __linux__
#include <sys/timerfd.h>
#include <unistd.h>
#endif

std::int64_t MonotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

QTimerSteppingClock::QTimerSteppingClock(QObject* parent) : SteppingClock(parent)
{
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    connect(&timer_, &QTimer::timeout, this, &SteppingClock::Tick);
}

void QTimerSteppingClock::Start()
{
    if (!timer_.isActive())
        timer_.start();
}

#ifdef __linux__
TimerfdSteppingClock::TimerfdSteppingClock(QObject* parent) : SteppingClock(parent)
{
    fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        return;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TimerfdSteppingClock::OnExpired);
}

TimerfdSteppingClock::~TimerfdSteppingClock()
{
    if (fd_ >= 0) {
        delete notifier_;
        ::close(fd_);
    }
}

void TimerfdSteppingClock::Start()
{
    if (scheduler_.IsRunning())
        return;
    scheduler_.Start(MonotonicNanoseconds());
    Arm(scheduler_.ArmAt());
}

void TimerfdSteppingClock::Stop()
{
    scheduler_.Stop();
    itimerspec off{};
    timerfd_settime(fd_, 0, &off, nullptr);
}

void TimerfdSteppingClock::Arm(std::int64_t deadline)
{
    itimerspec at{};
    at.it_value.tv_sec = deadline / 1'000'000'000;
    at.it_value.tv_nsec = deadline % 1'000'000'000;
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

void TimerfdSteppingClock::OnExpired()
{
    std::uint64_t expirations = 0;
    // Missed expirations are read and dropped: one tick per wake-up, never a burst.
    while (::read(fd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    if (!scheduler_.IsRunning())
        return;
    const bool tick = scheduler_.OnWake(MonotonicNanoseconds());
    Arm(scheduler_.ArmAt());
    if (tick) {
        emit Tick();
        scheduler_.TickEnded(MonotonicNanoseconds());
    }
}
#endif

std::unique_ptr<SteppingClock> MakeSteppingClock()
{
#ifdef __linux__
    auto clock = std::make_unique<TimerfdSteppingClock>();
    if (clock->IsValid())
        return clock;
#endif
    return std::make_unique<QTimerSteppingClock>();
}
