// SPDX-License-Identifier: MIT
#include "dialcore.h"

#include "angletext.h"
#include "base/report.h"
#include "messagerule.h"
#include "motor/steppingcontroller.h"
#include "numberreader.h"

#include <algorithm>
#include <cmath>
#include <utility>

const QString DialCore::InitialRequestedText = QStringLiteral("360");

double DialCore::ReadRequestedAngle(QStringView text)
{
    return ReadAngleNumber(std::u16string_view(text.utf16(), std::size_t(text.size())));
}

DialCore::DialCore(CoilPort& port, std::unique_ptr<SteppingClock> clock, ListenerOptions listener,
                   const StepGeometry& geometry, QObject* parent)
    : QObject(parent), drive_(port, std::move(clock), geometry),
      winsock1_(new CommandListener(std::move(listener), this))
{
    winsock1_->setObjectName("Winsock1");
    target_ = ReadRequestedAngle(requestedText_);
    drive_.SetRequestedAngle(target_);
    refresh_.setInterval(DisplayRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &DialCore::Refresh);
    connect(winsock1_, &CommandListener::ClientConnected, this, &DialCore::StateChanged);
    connect(winsock1_, &CommandListener::MessageArrived, this, &DialCore::Winsock1_DataArrival);
    // However the connection ended ("disconnect" or the client gone), the views hear it.
    connect(winsock1_, &CommandListener::ClientEnded, this, &DialCore::StateChanged);
}

DialCore::~DialCore()
{
    winsock1_->disconnect(this);
    ShutDown();
}

Outcome DialCore::Start()
{
    if (Outcome failed = winsock1_->Listen())
        return failed;
    drive_.DeenergiseCoils();
    drive_.InitStepping();
    drive_.StopMoving();
    return {};
}

std::string DialCore::StartStepping(RealTimeBroker* broker)
{
    return drive_.StartThread(broker);
}

void DialCore::ShutDown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    refresh_.stop();
    drive_.ShutDown();
    if (memory_) {
        if (const std::int64_t steps = drive_.TakeStoppedAtSpeed())
            memory_->StoppedAtSpeed(steps);
        memory_->AtRest(drive_.CurrentStep(), drive_.PhaseOffset());
        memory_->Finish();
    }
}

PositionMemory::Start DialCore::RememberPosition(const std::string& path)
{
    memory_ = std::make_unique<PositionMemory>(path, Geometry());
    PositionMemory::Start start = memory_->Restore();
    if (start.refused) {
        memory_.reset();
        return start;
    }
    drive_.PlacePosition(start.step, start.phaseOffset);
    connect(memory_.get(), &PositionMemory::MayMove, this, &DialCore::Steer);
    connect(memory_.get(), &PositionMemory::DoubtChanged, this, &DialCore::StateChanged);
    emit StateChanged();
    return start;
}

bool DialCore::InReach(double degrees, const StepGeometry& geometry)
{
    return std::fabs(geometry.StepsFor(degrees)) <= double(SteppingController::ReachableSteps);
}

bool DialCore::SetCurrentAngle(double degrees)
{
    if (!InReach(degrees, Geometry()))
        return false;
    const double steps = Geometry().StepsFor(degrees);
    // The step the rule leaves standing for this angle, so the motor stays put.
    startWanted_ = false;
    drive_.AskPosition(SteppingController::LowestRest(steps));
    if (memory_)
        memory_->SetByHand();
    lost_ = false;
    requestedText_ = QString::fromStdString(FormatAngleText(degrees, "."));
    target_ = ReadRequestedAngle(requestedText_);
    drive_.SetRequestedAngle(target_);
    emit StateChanged();
    if (!refresh_.isActive())
        refresh_.start(); // the rest that follows is recorded and shown
    return true;
}

void DialCore::SetHomeSwitch(SwitchInput& input, int direction, double homeDegrees)
{
    const std::int64_t homeStep = SteppingController::LowestRest(Geometry().StepsFor(homeDegrees));
    homeDegrees_ = Geometry().DegreesAt(homeStep);
    drive_.SetHomeSwitch(input, direction, homeStep);
}

bool DialCore::Home()
{
    if (!CanHome() || shutDown_)
        return false;
    Doubt();
    drive_.AskHoming();
    Report("homing: seeking the " + drive_.HomeSwitchName());
    if (!refresh_.isActive())
        refresh_.start();
    emit StateChanged();
    return true;
}

void DialCore::Doubt()
{
    if (memory_)
        memory_->Lost();
    lost_ = true;
}

void DialCore::TakeHomeNews()
{
    const std::string name = drive_.HomeSwitchName();
    switch (drive_.TakeHomingEnd()) {
    case StepperDrive::HomingEnd::None: break;
    case StepperDrive::HomingEnd::Homed:
        lost_ = false;
        if (memory_) {
            memory_->SetByHand();
            // That drops a start waiting for its record: a command sent while homing asks
            // again.
            if (startWanted_)
                Steer();
        }
        Report("homed on the " + name + ": the position is certain, the dial reads " +
               FormatAngleText(homeDegrees_, ".") + " degrees there");
        break;
    case StepperDrive::HomingEnd::NeverClosed:
        Report("the " + name +
               " never closed within 1.25 turns: check its wiring; --list-ports shows its "
               "level. The position stays uncertain");
        break;
    case StepperDrive::HomingEnd::NeverOpened:
        Report("the " + name +
               " never opened within 1.25 turns of backing off: check its wiring; "
               "--list-ports shows its level. The position stays uncertain");
        break;
    case StepperDrive::HomingEnd::Interrupted:
        Report("homing ended: the position was set by hand");
        break;
    }
    if (const std::uint64_t made = drive_.HomeCorrections(); made != corrections_) {
        corrections_ = made;
        const std::int64_t error = drive_.HomeErrorSteps();
        const std::int64_t size = error > 0 ? error : -error;
        Report("the count was " + std::to_string(size) + (size == 1 ? " step " : " steps ") +
               (error > 0 ? "ahead of" : "behind") + " the rotor at the " + name +
               ": set right there (" + std::to_string(made) +
               (made == 1 ? " correction" : " corrections") + " since start-up)");
    }
    if (drive_.TakeHomeLost()) {
        Doubt();
        Report("the " + name +
               " did not close a quarter turn past its place: the position is "
               "uncertain (a stall, or a loose switch); home again to be sure");
    }
}

DialState DialCore::State() const
{
    DialState state;
    // Moving is read first: once it reads false, the position read after it is the last. A
    // start waiting for the position file counts as moving.
    state.moving = drive_.IsMoving() || startWanted_;
    const QHostAddress client = winsock1_->PeerAddress();
    state.client = client.isNull() ? QString() : client.toString();
    state.requestedText = requestedText_;
    state.target = target_;
    state.step = drive_.CurrentStep();
    state.angle = Geometry().DegreesAt(state.step);
    state.uncertain = memory_ ? memory_->Uncertain() : lost_;
    if (state.uncertain)
        state.doubt = memory_ ? memory_->WhereItStands(state.step) : "anywhere";
    state.homing = drive_.IsHoming();
    state.homeCorrections = drive_.HomeCorrections();
    state.homeErrorSteps = drive_.HomeErrorSteps();
    const TimingCounts timing = drive_.Timing();
    state.lateTicks = timing.lateTicks;
    state.stepIntervals = timing.intervals;
    return state;
}

std::string DialCore::PositionSummary() const
{
    return memory_ ? memory_->Summary(drive_.CurrentStep()) : std::string();
}

std::string DialCore::OutputName() const
{
    return drive_.OutputName();
}

void DialCore::Winsock1_DataArrival(const QByteArray& received)
{
    if (IsDisconnectCommand(received)) {
        winsock1_->EndConnection(); // its ClientEnded tells the views
        return;
    }
    Command(AngleTextFromBytes(received), true);
}

void DialCore::Command(const QString& text, bool go)
{
    SetRequestedText(text.left(MaxAngleTextLength));
    if (go)
        EnableSteppingTimer();
}

void DialCore::SetRequestedText(const QString& text)
{
    // Each change is read once; the drive takes the number at its next tick.
    if (text == requestedText_)
        return;
    requestedText_ = text;
    // Beyond every step a motor can count the target is held at the last one, so the count
    // (and its record) never leaves what can be read back.
    const double reach = Geometry().DegreesAt(SteppingController::ReachableSteps);
    target_ = std::clamp(ReadRequestedAngle(requestedText_), -reach, reach);
    emit StateChanged();
    Steer();
}

void DialCore::Steer()
{
    const double degrees = target_;
    if (memory_ && (startWanted_ || drive_.IsMoving())) {
        // A moving motor follows a new text as a start would, once the file allows it. On a
        // ramp it may run on while it brakes, but never past the target it had, which the
        // record already covers.
        if (!memory_->CoverMove(drive_.CurrentStep(), Geometry().StepsFor(degrees))) {
            startWanted_ = true;
            return;
        }
    }
    drive_.SetRequestedAngle(degrees);
    if (std::exchange(startWanted_, false))
        drive_.StartMoving();
}

void DialCore::EnableSteppingTimer()
{
    startWanted_ = true;
    Steer();
    if (!refresh_.isActive())
        refresh_.start();
    emit StateChanged();
}

void DialCore::Refresh()
{
    const bool moving = drive_.IsMoving() || startWanted_;
    if (const std::string failure = drive_.TakePortFailure(); !failure.empty())
        Report(failure);
    TakeHomeNews();
    if (!moving) {
        refresh_.stop();
        if (memory_) {
            if (const std::int64_t steps = drive_.TakeStoppedAtSpeed())
                memory_->StoppedAtSpeed(steps);
            memory_->AtRest(drive_.CurrentStep(), drive_.PhaseOffset());
        }
    }
    emit StateChanged();
}
