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
                   QObject* parent)
    : QObject(parent), drive_(port, std::move(clock)),
      winsock1_(new CommandListener(std::move(listener), this))
{
    winsock1_->setObjectName("Winsock1");
    drive_.SetRequestedAngle(ReadRequestedAngle(requestedText_));
    refresh_.setInterval(DisplayRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &DialCore::PublishPosition);
    connect(winsock1_, &CommandListener::ClientConnected, this,
            [this] { emit OnLineChanged(true); });
    connect(winsock1_, &CommandListener::MessageArrived, this, &DialCore::Winsock1_DataArrival);
    // However the connection ended ("disconnect" or the client gone), the views hear it.
    connect(winsock1_, &CommandListener::ClientEnded, this, [this] { emit OnLineChanged(false); });
}

DialCore::~DialCore()
{
    winsock1_->disconnect(this);
    ShutDown();
}

bool DialCore::Start()
{
    if (!winsock1_->Listen())
        return false;
    drive_.DeenergiseCoils();
    drive_.InitStepping();
    drive_.StopMoving();
    return true;
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
        memory_->AtRest(drive_.CurrentStep(), drive_.PhaseOffset());
        memory_->Finish();
    }
}

PositionMemory::Start DialCore::RememberPosition(const std::string& path)
{
    memory_ = std::make_unique<PositionMemory>(path);
    PositionMemory::Start start = memory_->Restore();
    if (start.refused) {
        memory_.reset();
        return start;
    }
    drive_.PlacePosition(start.step, start.phaseOffset);
    connect(memory_.get(), &PositionMemory::MayMove, this, &DialCore::Steer);
    connect(memory_.get(), &PositionMemory::DoubtChanged, this,
            [this] { emit PositionUncertainChanged(PositionUncertain()); });
    if (PositionUncertain())
        emit PositionUncertainChanged(true);
    return start;
}

bool DialCore::InReach(double degrees)
{
    return std::fabs(degrees / SteppingController().StepAngle) <=
           double(SteppingController::ReachableSteps);
}

bool DialCore::SetPosition(double degrees)
{
    if (!InReach(degrees))
        return false;
    const double steps = degrees / SteppingController().StepAngle;
    // The step the rule leaves standing for this angle, so the motor stays put.
    startWanted_ = false;
    drive_.AskPosition(SteppingController::LowestRest(steps));
    if (memory_)
        memory_->SetByHand();
    requestedText_ = QString::fromStdString(FormatAngleText(degrees, "."));
    drive_.SetRequestedAngle(ReadRequestedAngle(requestedText_));
    emit RequestedTextChanged(requestedText_);
    if (!refresh_.isActive())
        refresh_.start(); // the rest that follows is recorded and shown
    return true;
}

std::string DialCore::PositionDoubt() const
{
    return memory_ ? memory_->WhereItStands(drive_.CurrentStep()) : std::string();
}

std::string DialCore::PositionSummary() const
{
    return memory_ ? memory_->Summary(drive_.CurrentStep()) : std::string();
}

std::string DialCore::OutputName() const
{
    return drive_.OutputName();
}

QString DialCore::StatusText(bool onLine)
{
    return onLine ? QStringLiteral("On Line") : QStringLiteral("Off line");
}

void DialCore::Winsock1_DataArrival(const QByteArray& received)
{
    if (IsDisconnectCommand(received)) {
        winsock1_->EndConnection(); // its ClientEnded tells the views
        return;
    }
    SetRequestedText(AngleTextFromBytes(received));
    EnableSteppingTimer();
}

void DialCore::EditRequestedText(const QString& text)
{
    SetRequestedText(text.left(MaxAngleTextLength));
}

void DialCore::SetRequestedText(const QString& text)
{
    // Each change is read once; the drive takes the number at its next tick.
    if (text == requestedText_)
        return;
    requestedText_ = text;
    emit RequestedTextChanged(requestedText_);
    Steer();
}

void DialCore::Steer()
{
    // Beyond every step a motor can count the target is held at the last one, so the count
    // (and its record) never leaves what can be read back.
    const double reach =
        double(SteppingController::ReachableSteps) * SteppingController().StepAngle;
    const double degrees = std::clamp(ReadRequestedAngle(requestedText_), -reach, reach);
    if (memory_ && (startWanted_ || drive_.IsMoving())) {
        // A moving motor follows a new text as a start would, once the file allows it.
        if (!memory_->CoverMove(drive_.CurrentStep(), degrees / SteppingController().StepAngle)) {
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
    if (!shownMoving_) {
        shownMoving_ = true;
        emit MovingChanged(true);
    }
}

void DialCore::PublishPosition()
{
    // Moving is read first: once it reads false, the position read after it is the last. A
    // start waiting for the position file counts as moving.
    const bool moving = drive_.IsMoving() || startWanted_;
    emit PositionChanged(drive_.CurrentAngle());
    if (const std::string failure = drive_.TakePortFailure(); !failure.empty())
        Report(failure);
    if (moving)
        return;
    refresh_.stop();
    if (memory_)
        memory_->AtRest(drive_.CurrentStep(), drive_.PhaseOffset());
    if (shownMoving_) {
        shownMoving_ = false;
        emit MovingChanged(false);
    }
}
