// SPDX-License-Identifier: MIT
// DialCore: the one object every front end attaches to. It owns the stepping drive and the
// command listener, holds the requested-angle text (the one store of the requested angle),
// reads what a client's message means and what number a text asks for, and tells its views
// that the DialState changed: the connection, the requested text, the position at display
// rate, moving or at rest, the doubt. The window, the page, MQTT and the service notifier
// are views of it, each through a StateFeed at its own rate; none reaches through another.
#pragma once

#include "command/commandlistener.h"
#include "core/dialstate.h"
#include "core/positionmemory.h"
#include "motor/stepperdrive.h"

#include <QByteArray>
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
             const StepGeometry& geometry = {}, QObject* parent = nullptr);
    ~DialCore() override;

    // Start-up, in this order: listen, coils off, step angle, stepping stopped. A failure
    // when the listener could not open; the coils are then untouched.
    Outcome Start();
    // The stepping thread, real time where it may be had; returns the line that says what it
    // got.
    std::string StartStepping(RealTimeBroker* broker = nullptr);
    // How fast the motor may go; before StartStepping. Without it, a step every tick.
    void SetSpeedProfile(const SpeedProfile& profile) { drive_.SetSpeedProfile(profile); }
    // At exit: the stepping thread stopped first, then the coils off. Idempotent.
    void ShutDown();
    // Any thread, without a lock: the motor stops and the coils go off within a tick, even
    // while the event loop is busy. ShutDown still follows.
    void Halt() { drive_.Halt(); }

    // One read from the client: exactly "disconnect" ends the connection; anything else is
    // a command that moves the motor.
    void Winsock1_DataArrival(const QByteArray& received);
    // The one way a command comes in, from the client, the window, the page or MQTT: the
    // text replaces the requested text whole (the motor follows it if it moves already), and
    // with `go` the motor moves from its next tick on toward it.
    void Command(const QString& text, bool go);

    // Keeps the position in this file from now on, starting where it says; before
    // StartStepping. Returns the line that tells the operator what was restored, and a
    // refusal when the file cannot be used at all (the program must not start).
    PositionMemory::Start RememberPosition(const std::string& path);
    // The operator says the motor stands at `degrees` now: nothing moves, the coils keep
    // their phase, the requested text becomes that angle, and any doubt ends. The position
    // is the step the motor rests at for that angle. False, and nothing changes, out of
    // reach.
    bool SetCurrentAngle(double degrees);
    // Before StartStepping: homing and the pass check on this switch, met turning
    // `direction`, where the dial reads `homeDegrees`.
    void SetHomeSwitch(SwitchInput& input, int direction, double homeDegrees);
    bool CanHome() const { return drive_.HasHomeSwitch(); }
    // Homing from the next tick on, from any front end; false without a switch. Commands
    // meanwhile are kept, the last one wins, and followed once it ends.
    bool Home();
    // An angle some step of a motor's lifetime stands at (not NaN, not 1e300).
    static bool InReach(double degrees, const StepGeometry& geometry);
    const StepGeometry& Geometry() const { return drive_.Geometry(); }
    // The coil phase the rotor stands at now (its step's, turned by a position set by hand).
    int PhaseNow() const { return Geometry().PhaseOf(drive_.CurrentStep(), drive_.PhaseOffset()); }
    // The number rule: what angle a requested-angle text asks for.
    static double ReadRequestedAngle(QStringView text);
    // For a service status: where the position is kept, and any doubt; empty without a file.
    std::string PositionSummary() const;

    // What every view shows, read now. The position is uncertain (the program was stopped
    // mid-move, or the position file was unusable) until the operator sets it.
    DialState State() const;
    quint16 CommandPort() const { return winsock1_->LocalPort(); }
    std::string OutputName() const;

    // Liveness of the stepping thread, for a watchdog: ask, then read the answer later.
    void PingDrive() { drive_.Ping(); }
    DriveHealth Health() const { return drive_.Health(); }
    // The stepping thread's timing and steps since start-up.
    TimingCounts Timing() const { return drive_.Timing(); }

signals:
    // The state may have changed: while the motor moves at most once a DisplayRefreshMs,
    // once more when it comes to rest.
    void StateChanged();

private:
    // The motor moves from its next tick on toward the requested angle.
    void EnableSteppingTimer();
    // Reads the drive as the display refresh does while moving; at rest, records it.
    void Refresh();
    void SetRequestedText(const QString& text);
    // What homing and the pass check found since the last look: lines, the doubt.
    void TakeHomeNews();
    void Doubt();
    // Hands the requested angle to the drive, and a start wanted, once the position file
    // allows the move.
    void Steer();

    StepperDrive drive_;
    CommandListener* winsock1_; // a child named "Winsock1"
    QString requestedText_ = InitialRequestedText;
    double target_ = 0.0;                    // what requestedText_ asks for, held within reach
    QTimer refresh_;                         // runs while the motor moves
    std::unique_ptr<PositionMemory> memory_; // with a position file only
    bool startWanted_ = false;               // a start not handed to the drive yet
    bool shutDown_ = false;
    bool lost_ = false; // uncertain without a position file: homing failed or the switch missed
    std::uint64_t corrections_ = 0; // those already said
    double homeDegrees_ = 0.0;      // where the switch closes, at the step it stands for
};
