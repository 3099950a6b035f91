// SPDX-License-Identifier: MIT
#include "dialcore.h"

#include "base/report.h"
#include "messagerule.h"
#include "numberreader.h"

namespace {

double ReadRequestedAngle(QStringView text)
{
    return ReadAngleNumber(std::u16string_view(text.utf16(), std::size_t(text.size())));
}

} // namespace

const QString DialCore::InitialRequestedText = QStringLiteral("360");

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
    drive_.SetRequestedAngle(ReadRequestedAngle(requestedText_));
    emit RequestedTextChanged(requestedText_);
}

void DialCore::EnableSteppingTimer()
{
    drive_.StartMoving();
    if (!refresh_.isActive())
        refresh_.start();
    if (!shownMoving_) {
        shownMoving_ = true;
        emit MovingChanged(true);
    }
}

void DialCore::PublishPosition()
{
    // Moving is read first: once it reads false, the position read after it is the last.
    const bool moving = drive_.IsMoving();
    emit PositionChanged(drive_.CurrentAngle());
    if (const std::string failure = drive_.TakePortFailure(); !failure.empty())
        Report(failure);
    if (moving)
        return;
    refresh_.stop();
    if (shownMoving_) {
        shownMoving_ = false;
        emit MovingChanged(false);
    }
}
