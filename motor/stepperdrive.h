// SPDX-License-Identifier: MIT
// The stepping drive: the 1 ms clock, the tick rule and the coil writes on a thread of their
// own, so neither the window, the network nor a slow trace reader ever sits between a clock
// expiry and a step. The core hands it the requested angle and reads back the position;
// both cross threads through atomics alone.
#pragma once

#include "coiloutput.h"
#include "drivehealth.h"
#include "homecheck.h"
#include "homingrule.h"
#include "output/switchinput.h"
#include "realtime.h"
#include "speedramp.h"
#include "steppingclock.h"
#include "steppingcontroller.h"
#include "steppingtiming.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class StepperDrive {
public:
    StepperDrive(CoilPort& port, std::unique_ptr<SteppingClock> clock,
                 const StepGeometry& geometry = {});
    ~StepperDrive();
    StepperDrive(const StepperDrive&) = delete;
    StepperDrive& operator=(const StepperDrive&) = delete;

    // Start-up, on the event loop's thread before the stepping thread runs.
    void DeenergiseCoils() { coils_.DeenergiseCoils(); }
    void InitStepping() { stepping_.InitStepping(geometry_); }
    const StepGeometry& Geometry() const { return geometry_; }
    // Before the stepping thread runs; without it, a step every tick.
    void SetSpeedProfile(const SpeedProfile& profile)
    {
        ramp_ = SpeedRamp(profile);
        ramps_ = profile.Ramps();
        seekTicks_ = ramps_ ? profile.StartTicks() : UnrampedSeekTicks;
    }
    // Before the stepping thread runs: the switch homing seeks turning `direction` (+1 or
    // -1), and the step it stands for once homed.
    void SetHomeSwitch(SwitchInput& input, int direction, std::int64_t homeStep)
    {
        switch_ = &input;
        homeDirection_ = direction < 0 ? -1 : 1;
        homeStep_ = homeStep;
    }
    bool HasHomeSwitch() const { return switch_ != nullptr; }
    std::string HomeSwitchName() const { return switch_ ? switch_->Name() : std::string(); }
    // Stands the motor: before the stepping thread runs, or once it has stopped.
    void StopMoving();

    // Starts the stepping thread, real-time where it may be had (by itself, else through the
    // broker); returns the line that tells the operator what it got.
    std::string StartThread(RealTimeBroker* broker = nullptr);
    // Stops the stepping thread (no tick after this returns); the coils are off by then.
    void ShutDown();
    // Any thread, lock-free, also in a hurry: the stepping thread stops at its next turn and
    // switches the coils off on its way out. ShutDown still joins it.
    void Halt();

    // Before the stepping thread runs: the motor stands at `step`, its coils at that step's
    // phase turned by `phaseOffset`.
    void PlacePosition(std::int64_t step, int phaseOffset);
    // Any thread, lock-free: the motor stops where it is and that place is called `step` from
    // its next turn on, the coils unchanged. A start asked for earlier is dropped; set the
    // requested angle after this, so no tick can pair the new angle with the old count.
    void AskPosition(std::int64_t step);

    // Any thread, lock-free: homing starts at the next turn, a move under way stopped
    // outright. The requested angle is followed again once it ends.
    void AskHoming();
    bool IsHoming() const { return (state_.load() & (HomeAsked | Homing)) != 0; }
    enum class HomingEnd { None, Homed, NeverClosed, NeverOpened, Interrupted };
    // How the last homing ended, once; None while none has ended since.
    HomingEnd TakeHomingEnd() { return HomingEnd(homingEnd_.exchange(int(HomingEnd::None))); }
    // The pass check: corrections made, the last one's error (the count minus the switch's
    // step), and whether the switch stayed open past its place since last asked.
    std::uint64_t HomeCorrections() const { return corrections_.load(); }
    std::int64_t HomeErrorSteps() const { return errorSteps_.load(); }
    bool TakeHomeLost() { return lost_.exchange(false); }

    // Any thread, lock-free.
    void SetRequestedAngle(double degrees) { requestedDegrees_.store(degrees); }
    // Moving from the next tick on, toward the requested angle; already moving, it goes on.
    void StartMoving();
    std::int64_t CurrentStep() const { return currentStep_.load(std::memory_order_acquire); }
    // True from a start until the stop rule; the position is final once it is false.
    bool IsMoving() const
    {
        return (state_.load() & (ClockRunning | StartAsked | PositionAsked | HomeAsked)) != 0;
    }
    // The steps the motor was still to brake when a quit or a position set stopped it outright
    // above its start rate (it may run on, or skip), once; 0 when it stopped at the start rate.
    std::int64_t TakeStoppedAtSpeed() { return stoppedAtSpeed_.exchange(0); }
    // Read once the motor is at rest, with CurrentStep.
    int PhaseOffset() const { return phaseOffset_.load(std::memory_order_relaxed); }
    std::string OutputName() const { return coils_.Port().Name(); }
    // The first failed port write, once, as a line for standard error; empty otherwise.
    std::string TakePortFailure();

    // Liveness, for a watchdog on another thread: Ping wakes the stepping thread, which
    // answers at its next turn; a thread stuck anywhere (a hung port write) answers none.
    void Ping();
    DriveHealth Health() const
    {
        return {pingsAsked_.load(std::memory_order_relaxed),
                pingsAnswered_.load(std::memory_order_relaxed), timing_.Ticks(), IsMoving()};
    }
    // Any thread: how well the stepping thread kept its time, and the steps it made.
    TimingCounts Timing() const { return timing_.Read(); }

private:
    // The state word: the clock runs, a start is asked for, a position is asked for (asks set
    // by any thread, taken by the stepping thread), homing is asked for or under way; moving
    // while any is set. Each position
    // ask also adds one AskCount, so the stepping thread can tell a second ask from the one
    // it took.
    static constexpr unsigned ClockRunning = 1;
    static constexpr unsigned StartAsked = 2;
    static constexpr unsigned PositionAsked = 4;
    static constexpr unsigned HomeAsked = 8;
    static constexpr unsigned Homing = 16;
    static constexpr unsigned AskCount = 32;
    // 100 steps a second, a motor without a ramp seeks its switch at.
    static constexpr std::int64_t UnrampedSeekTicks = 10;
    static_assert(std::atomic<double>::is_always_lock_free);
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);

    void Run();
    void StopThread();
    void TakeStart();
    void TakePosition();
    // The tick: read the target, one step at most, the coil pattern, the stop rule.
    void Tick();
    // The ramp's tick: a step only on the ticks the ramp gives one; true once at rest.
    bool RampTick(double requested);
    void ClockStopped();
    // Stepping thread: the motor is stopped outright where it stands.
    void StoppedOutright();
    void TakeHoming();
    // The switch as it stands after the last step, and the pass check on that step.
    void ReadSwitch();
    void HomingTick();
    void EndHoming(HomingEnd end);
    void Renamed(std::int64_t step);

    const StepGeometry geometry_;
    CoilOutput coils_;
    std::unique_ptr<SteppingClock> clock_;
    SteppingController stepping_;
    SpeedRamp ramp_;
    bool ramps_ = false;
    std::int64_t stoppedAt_ = 0; // the clock's time at the last stop, for the ramp
    std::atomic<double> requestedDegrees_{0.0};
    std::atomic<std::int64_t> currentStep_{0};
    std::atomic<unsigned> state_{0};
    std::atomic<std::int64_t> askedStep_{0};
    std::atomic<int> phaseOffset_{0};
    std::atomic<std::int64_t> stoppedAtSpeed_{0};
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> pingsAsked_{0};
    std::atomic<std::uint64_t> pingsAnswered_{0};
    SwitchInput* switch_ = nullptr;
    int homeDirection_ = 1;
    std::int64_t homeStep_ = 0;
    std::int64_t seekTicks_ = UnrampedSeekTicks;
    HomingRule homing_;
    HomeCheck check_;
    bool switchClosed_ = false;
    int lastStep_ = 0; // made since the switch was last read
    std::atomic<int> homingEnd_{int(HomingEnd::None)};
    std::atomic<std::uint64_t> corrections_{0};
    std::atomic<std::int64_t> errorSteps_{0};
    std::atomic<bool> lost_{false};
    SteppingTiming timing_;
    std::thread thread_;
};
