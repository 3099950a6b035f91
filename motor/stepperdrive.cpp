// SPDX-License-Identifier: MIT
#include "stepperdrive.h"

#include "realtime.h"

#include <cstring>

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

void StepperDrive::DisableSteppingTimer()
{
    clock_->Stop();
    state_.store(0, std::memory_order_release);
}

std::string StepperDrive::StartThread()
{
    thread_ = std::thread(&StepperDrive::Run, this);
    return MakeRealTime(thread_);
}

void StepperDrive::ShutDown()
{
    StopThread();
    DisableSteppingTimer();
    coils_.DeenergiseCoils();
}

void StepperDrive::EnableSteppingTimer()
{
    state_.fetch_or(StartRequested, std::memory_order_acq_rel);
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

void StepperDrive::Run()
{
    while (!quit_.load()) {
        pingsAnswered_.store(pingsAsked_.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
        TakeRequests();
        if (clock_->WaitForTick()) {
            Timer1_Timer();
            clock_->TickEnded();
        }
    }
}

void StepperDrive::Ping()
{
    pingsAsked_.fetch_add(1, std::memory_order_relaxed);
    clock_->Wake();
}

void StepperDrive::TakeRequests()
{
    if (!(state_.load(std::memory_order_acquire) & StartRequested))
        return;
    clock_->Start();
    // A request that lands between the load and this store finds the clock already on.
    state_.store(Running, std::memory_order_release);
}

void StepperDrive::Timer1_Timer()
{
    stepping_.MoveTowardRequested(requestedDegrees_.load());
    coils_.WriteCoilPattern(stepping_.Phase());
    currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
    ticks_.fetch_add(1, std::memory_order_relaxed);
    if (stepping_.TargetReached()) {
        clock_->Stop();
        // A start request that came during this tick stays set: the next turn of the loop
        // starts the clock again and reads the new angle.
        state_.fetch_and(~Running, std::memory_order_acq_rel);
    }
}

void StepperDrive::Fire()
{
    TakeRequests();
    if (clock_->IsRunning())
        Timer1_Timer();
}
