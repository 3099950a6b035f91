// SPDX-License-Identifier: MIT
#include "steppingclock.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

TimerfdSteppingClock::TimerfdSteppingClock()
{
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TimerfdSteppingClock::~TimerfdSteppingClock()
{
    if (timerFd_ >= 0)
        ::close(timerFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void TimerfdSteppingClock::Start()
{
    if (grid_.IsRunning())
        return;
    grid_.Start(MonotonicNanoseconds());
    Arm(grid_.ArmAt());
}

void TimerfdSteppingClock::Stop()
{
    grid_.Stop();
    itimerspec off{};
    timerfd_settime(timerFd_, 0, &off, nullptr);
}

void TimerfdSteppingClock::Arm(std::int64_t deadline)
{
    itimerspec at{};
    at.it_value.tv_sec = deadline / 1'000'000'000;
    at.it_value.tv_nsec = deadline % 1'000'000'000;
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

bool TimerfdSteppingClock::WaitForTick()
{
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
        if (::poll(fds, grid_.IsRunning() ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] ssize_t got = ::read(wakeFd_, &wakes, sizeof wakes);
            return false;
        }
        if (!(fds[1].revents & POLLIN))
            continue;
        // Missed expirations are read and dropped: one tick per wake-up, never a burst.
        std::uint64_t expirations = 0;
        [[maybe_unused]] ssize_t got = ::read(timerFd_, &expirations, sizeof expirations);
        if (!grid_.IsRunning())
            continue;
        const std::int64_t now = MonotonicNanoseconds();
        const bool tick = grid_.OnWake(now);
        Arm(grid_.ArmAt());
        if (tick) {
            tickAt_ = now;
            return true;
        }
    }
}

void TimerfdSteppingClock::Wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t put = ::write(wakeFd_, &one, sizeof one);
}

std::unique_ptr<SteppingClock> MakeSteppingClock()
{
    auto clock = std::make_unique<TimerfdSteppingClock>();
    return clock->IsValid() ? std::move(clock) : nullptr;
}
