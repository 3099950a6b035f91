// SPDX-License-Identifier: MIT
#include "stepperdrive.h"

#include <cstring>

StepperDrive::StepperDrive(CoilPort& port, std::unique_ptr<SteppingClock> clock,
                           const StepGeometry& geometry)
    : geometry_(geometry), coils_(port), clock_(std::move(clock))
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
    // A position asked for just before the thread stopped still counts.
    if (state_.load() & PositionAsked)
        TakePosition();
    clock_->Stop();
    state_.store(0);
}

void StepperDrive::PlacePosition(std::int64_t step, int phaseOffset)
{
    stepping_.CurrentStep = step;
    stepping_.PhaseOffset = phaseOffset;
    phaseOffset_.store(phaseOffset, std::memory_order_relaxed);
    currentStep_.store(step, std::memory_order_release);
}

void StepperDrive::AskPosition(std::int64_t step)
{
    askedStep_.store(step);
    unsigned state = state_.load();
    while (!state_.compare_exchange_weak(state, ((state & ~StartAsked) | PositionAsked) + AskCount))
        ;
    clock_->Wake();
}

std::string StepperDrive::StartThread(RealTimeBroker* broker)
{
    return StartSteppingThread(
        thread_, [this] { Run(); }, broker);
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
    state_.fetch_or(StartAsked);
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
    // However it ends (shut down, or halted by a quit signal), nothing is left energised, at
    // once: a motor at speed is not braked first.
    StoppedOutright();
    coils_.DeenergiseCoils();
}

void StepperDrive::TakeStart()
{
    if (state_.load() & PositionAsked)
        TakePosition();
    if (!(state_.load() & StartAsked))
        return;
    // The ramp counts its rest in ticks: however long the clock stood counts toward the gap
    // before the next run's first step.
    if (!(state_.load() & ClockRunning)) {
        if (ramps_)
            ramp_.Rested((clock_->Now() - stoppedAt_) / SteppingClockGrid::Period);
        timing_.MoveStarted();
    }
    clock_->Start();
    // Running before the ask is taken, so the motor never reads as standing in between; a
    // start asked for in between finds the clock already running.
    state_.fetch_or(ClockRunning);
    state_.fetch_and(~StartAsked);
}

void StepperDrive::ClockStopped()
{
    clock_->Stop();
    if (ramps_)
        stoppedAt_ = clock_->Now();
}

void StepperDrive::StoppedOutright()
{
    if (const std::int64_t steps = ramps_ ? ramp_.StepsToBrake() : 0)
        stoppedAtSpeed_.store(steps);
    ramp_.Stop();
}

void StepperDrive::TakePosition()
{
    ClockStopped();
    StoppedOutright();
    unsigned state = state_.load();
    do { // again if another ask came meanwhile
        stepping_.SetPosition(askedStep_.load());
        phaseOffset_.store(stepping_.PhaseOffset, std::memory_order_relaxed);
        currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
    } while (!state_.compare_exchange_weak(state, state & ~(PositionAsked | ClockRunning)));
}

void StepperDrive::Tick()
{
    // The angle before the ask: an ask not seen yet means the angle read is still the old one,
    // since the asker sets the angle only after asking.
    const double requested = requestedDegrees_.load();
    if (state_.load() & PositionAsked) {
        TakePosition();
        return;
    }
    bool arrived = false;
    const std::int64_t before = stepping_.CurrentStep;
    if (ramps_) {
        arrived = RampTick(requested);
    } else {
        stepping_.MoveTowardRequested(requested);
        coils_.WriteCoilPattern(stepping_.CoilPattern());
        currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
        arrived = stepping_.TargetReached();
    }
    timing_.CountTick(clock_->Lateness());
    if (stepping_.CurrentStep != before)
        timing_.CountStep(clock_->TickAt());
    if (arrived) {
        ClockStopped();
        // A start asked for during this tick stays set: the next turn of the loop starts the
        // clock again and reads the new angle.
        state_.fetch_and(~ClockRunning);
    }
}

bool StepperDrive::RampTick(double requested)
{
    stepping_.Aim(requested);
    if (const int step = ramp_.Tick(stepping_.TargetSteps, stepping_.CurrentStep)) {
        stepping_.CurrentStep += step;
        coils_.WriteCoilPattern(stepping_.CoilPattern());
        currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
    }
    // Within a step of the target, yet still running on at speed: it brakes and comes back.
    return ramp_.Standing() && stepping_.TargetReached();
}
