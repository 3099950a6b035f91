// SPDX-License-Identifier: MIT
// DialCore: the one object every front end attaches to. It owns the stepping drive and the
// command listener, holds the requested-angle text (the one store of the requested angle),
// reads what a client's message means and what number a text asks for, and tells its views
// what changed: the connection, the requested text, the position at display rate, moving or
// at rest. The window, a headless service and the service notifier are views of it; none
// reaches through another to find it.
#pragma once

#include "command/commandlistener.h"
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

private:
    void SetRequestedText(const QString& text);

    StepperDrive drive_;
    CommandListener* winsock1_; // a child named "Winsock1"
    QString requestedText_ = InitialRequestedText;
    QTimer refresh_; // runs while the motor moves
    bool shownMoving_ = false;
    bool shutDown_ = false;
};
