// SPDX-License-Identifier: MIT
#include "stepperdrive.h"

#include <cstring>
#include <future>
#include <pthread.h>
#include <unistd.h>

StepperDrive::StepperDrive(CoilPort& port, std::unique_ptr<SteppingClock> clock)
    : coils_(port), clock_(std::move(clock))
{
}

StepperDrive::~StepperDrive()
{
    StopThread();
}

void StepperDrive::StopThread()
{
    if (thread_.joinable()) {
        quit_.store(true);
        clock_->Wake();
        thread_.join();
    }
}

void StepperDrive::StopMoving()
{
    clock_->Stop();
    state_.store(0, std::memory_order_release);
}

std::string StepperDrive::StartThread(RealTimeBroker* broker)
{
    // The thread's kernel id, for a broker that schedules it from outside.
    std::promise<pid_t> started;
    std::future<pid_t> tid = started.get_future();
    thread_ = std::thread([this, &started] {
        pthread_setname_np(pthread_self(), "stepping");
        started.set_value(gettid());
        Run();
    });
    return MakeRealTime(thread_, tid.get(), broker);
}

void StepperDrive::ShutDown()
{
    // A stepping thread switches the coils off as it ends; without one, this does.
    const bool threadWritesOff = thread_.joinable();
    StopThread();
    StopMoving();
    if (!threadWritesOff)
        coils_.DeenergiseCoils();
}

void StepperDrive::Halt()
{
    quit_.store(true);
    clock_->Wake();
}

void StepperDrive::StartMoving()
{
    state_.fetch_or(StartAsked, std::memory_order_acq_rel);
    clock_->Wake();
}

std::string StepperDrive::TakePortFailure()
{
    const int error = coils_.Port().TakeFailure();
    if (error == 0)
        return {};
    return "writing to " + coils_.Port().Name() + " failed: " + std::strerror(error) +
           "; the coils may not follow (is the device still there?)";
}

void StepperDrive::Ping()
{
    pingsAsked_.fetch_add(1, std::memory_order_relaxed);
    clock_->Wake();
}

void StepperDrive::Run()
{
    while (!quit_.load()) {
        pingsAnswered_.store(pingsAsked_.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
        TakeStart();
        if (clock_->WaitForTick()) {
            Tick();
            clock_->TickEnded();
        }
    }
    // However it ends (shut down, or halted by a quit signal), nothing is left energised.
    coils_.DeenergiseCoils();
}

void StepperDrive::TakeStart()
{
    if (!(state_.load(std::memory_order_acquire) & StartAsked))
        return;
    clock_->Start();
    // A start asked for between the load and this store finds the clock already running.
    state_.store(ClockRunning, std::memory_order_release);
}

void StepperDrive::Tick()
{
    stepping_.MoveTowardRequested(requestedDegrees_.load());
    coils_.WriteCoilPattern(stepping_.Phase());
    currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
    // Only this thread writes it: a plain store, no locked read-modify-write on the tick.
    ticks_.store(ticks_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (stepping_.TargetReached()) {
        clock_->Stop();
        // A start asked for during this tick stays set: the next turn of the loop starts the
        // clock again and reads the new angle.
        state_.fetch_and(~ClockRunning, std::memory_order_acq_rel);
    }
}
