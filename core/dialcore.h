// SPDX-License-Identifier: MIT
// DialCore: the one object every front end attaches to. It owns the stepping drive and the
// command listener, holds the requested-angle text (the one store of the requested angle),
// reads what a client's message means and what number a text asks for, and tells its views
// what changed: the connection, the requested text, the position at display rate, moving or
// at rest. The window, a headless service and the service notifier are views of it; none
// reaches through another to find it.
#pragma once

#include "command/commandlistener.h"
#include "core/positionmemory.h"
#include "motor/stepperdrive.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

class DialCore : public QObject {
    Q_OBJECT
public:
    // How often views see the position while the motor moves: one frame at 60 Hz.
    static constexpr int DisplayRefreshMs = 16;
    static const QString InitialRequestedText;

    DialCore(CoilPort& port, std::unique_ptr<SteppingClock> clock, ListenerOptions listener = {},
             QObject* parent = nullptr);
    ~DialCore() override;

    // Start-up, in this order: listen, coils off, step angle, stepping stopped. False when
    // the listener could not open (ListenFailure says why); the coils are then untouched.
    bool Start();
    // The stepping thread, real time where it may be had; returns the line that says what it
    // got.
    std::string StartStepping(RealTimeBroker* broker = nullptr);
    // At exit: the stepping thread stopped first, then the coils off. Idempotent.
    void ShutDown();
    // Any thread, without a lock: the motor stops and the coils go off within a tick, even
    // while the event loop is busy. ShutDown still follows.
    void Halt() { drive_.Halt(); }

    // One read from the client: exactly "disconnect" ends the connection; anything else
    // replaces the requested text whole and starts the motor.
    void Winsock1_DataArrival(const QByteArray& received);
    // An operator's edit replaces the requested text; the motor follows it if it moves
    // already, else from the next message on.
    void EditRequestedText(const QString& text);
    // The motor moves from its next tick on toward the requested angle.
    void EnableSteppingTimer();
    // Tells the views the latest position now, as the display refresh does while moving.
    void PublishPosition();

    // Keeps the position in this file from now on, starting where it says; before
    // StartStepping. Returns the line that tells the operator what was restored, and a
    // refusal when the file cannot be used at all (the program must not start).
    PositionMemory::Start RememberPosition(const std::string& path);
    // The operator says the motor stands at `degrees` now: nothing moves, the coils keep
    // their phase, the requested text becomes that angle, and any doubt ends. The place is
    // the step the motor rests at for that angle. False, and nothing changes, out of reach.
    bool SetPosition(double degrees);
    // An angle some step of a motor's lifetime stands at (not NaN, not 1e300).
    static bool InReach(double degrees);
    // The number rule: what angle a requested-angle text asks for.
    static double ReadRequestedAngle(QStringView text);
    // The count may not be where the rotor stands (the program was stopped mid-move, or the
    // position file was unusable) until the operator sets the position.
    bool PositionUncertain() const { return memory_ && memory_->Uncertain(); }
    // For the views: where the rotor may be, such as "between 0 and 90 degrees".
    std::string PositionDoubt() const;
    // For a service status: where the position is kept, and any doubt; empty without a file.
    std::string PositionSummary() const;

    const QString& RequestedText() const { return requestedText_; }
    double CurrentAngle() const { return drive_.CurrentAngle(); }
    std::int64_t CurrentStep() const { return drive_.CurrentStep(); }
    bool IsMoving() const { return drive_.IsMoving(); }
    bool IsOnLine() const { return !ClientAddress().isNull(); }
    QHostAddress ClientAddress() const { return winsock1_->PeerAddress(); }
    quint16 CommandPort() const { return winsock1_->LocalPort(); }
    std::string ListenFailure() const { return winsock1_->ListenFailure(); }
    std::string OutputName() const;

    // Liveness of the stepping thread, for a watchdog: ask, then read the answer later.
    void PingDrive() { drive_.Ping(); }
    DriveHealth Health() const { return drive_.Health(); }

    // The connection status as every view shows it: "On Line" or "Off line".
    static QString StatusText(bool onLine);

signals:
    void OnLineChanged(bool onLine);
    void RequestedTextChanged(const QString& text);
    // While the motor moves, at most once a DisplayRefreshMs; once more when it comes to
    // rest, with the final angle.
    void PositionChanged(double degrees);
    void MovingChanged(bool moving);
    void PositionUncertainChanged(bool uncertain);

private:
    void SetRequestedText(const QString& text);
    // Hands the requested angle to the drive, and a start wanted, once the position file
    // allows the move.
    void Steer();

    StepperDrive drive_;
    CommandListener* winsock1_; // a child named "Winsock1"
    QString requestedText_ = InitialRequestedText;
    QTimer refresh_;                         // runs while the motor moves
    std::unique_ptr<PositionMemory> memory_; // with a position file only
    bool startWanted_ = false;               // a start not handed to the drive yet
    bool shownMoving_ = false;
    bool shutDown_ = false;
};
