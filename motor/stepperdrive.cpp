// SPDX-License-Identifier: MIT
#include "stepperdrive.h"

#include <cmath>
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

void StepperDrive::AskHoming()
{
    if (!switch_)
        return;
    state_.fetch_or(HomeAsked);
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
    if (state_.load() & HomeAsked)
        TakeHoming();
    // While homing a start waits, and is taken once homing ends.
    if ((state_.load() & (StartAsked | Homing)) != StartAsked)
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
    // The operator says where the rotor stands: homing under way has nothing left to find.
    if (state_.load() & Homing)
        EndHoming(HomingEnd::Interrupted);
    unsigned state = state_.load();
    do { // again if another ask came meanwhile
        // The switch stays where it is on the shaft: its step is renamed with the rest.
        check_.Renamed(askedStep_.load() - stepping_.CurrentStep);
        Renamed(askedStep_.load());
    } while (!state_.compare_exchange_weak(state, state & ~(PositionAsked | ClockRunning)));
}

void StepperDrive::Renamed(std::int64_t step)
{
    stepping_.SetPosition(step);
    phaseOffset_.store(stepping_.PhaseOffset, std::memory_order_relaxed);
    currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
}

void StepperDrive::TakeHoming()
{
    if (!(state_.load() & ClockRunning)) {
        timing_.MoveStarted();
    } else {
        // At speed it may run on: not recorded as doubt, since homing finds where it ended.
        ramp_.Stop();
        state_.fetch_or(StartAsked); // and the move goes on once it has
    }
    switchClosed_ = switch_->Closed();
    lastStep_ = 0;
    check_.Forget();
    const auto reach = std::int64_t(std::ceil(1.25 * geometry_.StepsPerTurn()));
    homing_.Begin(homeDirection_, seekTicks_, reach, switchClosed_);
    clock_->Start();
    state_.fetch_or(Homing | ClockRunning);
    state_.fetch_and(~HomeAsked);
}

void StepperDrive::EndHoming(HomingEnd end)
{
    if (end == HomingEnd::Homed) {
        Renamed(homeStep_);
        check_.Homed(homeStep_, geometry_.StepsPerTurn(), homeDirection_);
    }
    homingEnd_.store(int(end));
    state_.fetch_and(~Homing);
}

void StepperDrive::ReadSwitch()
{
    const bool closed = switch_->Closed();
    const bool closing = closed && !switchClosed_;
    switchClosed_ = closed;
    if (lastStep_ == 0)
        return;
    const HomeCheck::Verdict verdict = check_.Stepped(lastStep_, stepping_.CurrentStep, closing);
    lastStep_ = 0;
    if (verdict.error != 0) {
        Renamed(stepping_.CurrentStep - verdict.error);
        errorSteps_.store(verdict.error);
        corrections_.fetch_add(1);
    }
    if (verdict.lost)
        lost_.store(true);
}

void StepperDrive::HomingTick()
{
    if (const int step = homing_.Tick(switchClosed_)) {
        stepping_.CurrentStep += step;
        coils_.WriteCoilPattern(stepping_.CoilPattern());
        currentStep_.store(stepping_.CurrentStep, std::memory_order_release);
        timing_.CountStep(clock_->TickAt());
    }
    timing_.CountTick(clock_->Lateness());
    if (homing_.Going())
        return;
    switch (homing_.Now()) {
    case HomingRule::Phase::Homed: EndHoming(HomingEnd::Homed); break;
    case HomingRule::Phase::NeverOpened: EndHoming(HomingEnd::NeverOpened); break;
    default: EndHoming(HomingEnd::NeverClosed); break;
    }
    // A start asked for meanwhile goes on to the requested angle, after the rest a ramp
    // needs before its first step.
    ClockStopped();
    state_.fetch_and(~ClockRunning);
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
    if (switch_)
        ReadSwitch();
    if (state_.load() & Homing) {
        HomingTick();
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
    if (stepping_.CurrentStep != before) {
        lastStep_ = stepping_.CurrentStep > before ? 1 : -1;
        timing_.CountStep(clock_->TickAt());
    }
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
