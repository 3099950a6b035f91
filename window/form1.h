// SPDX-License-Identifier: MIT
// Form1: the operator window, and the owner of everything for the whole run: the controls,
// Winsock1, the stepping drive (Timer1, the stepping fields and the coil output). It is the
// view and the command handler; the motor steps on the drive's own thread.
#pragma once

#include "command/commandlistener.h"
#include "motor/stepperdrive.h"
#include "window/needlegeometry.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

class QLineEdit;
class AngleDial;
class CursorBlinkTimeout;
class FormLabel;

class Form1 : public QWidget {
    Q_OBJECT
public:
    Form1(CoilPort& port, std::unique_ptr<SteppingClock> clock, ListenerOptions listener = {},
          QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up, in this order: listen, coils off, step angle, timer off. False when the
    // listener could not open; the coils are then left untouched.
    bool Form_Load();
    // At exit: the stepping thread stopped first, then the coils de-energised.
    void ShutDown();

    void Winsock1_ConnectionRequest();
    void Winsock1_DataArrival(const QByteArray& received);

    // Timer1 on and off: the drive starts moving at its next tick, or stands.
    void EnableSteppingTimer();
    void DisableSteppingTimer() { drive_.StopMoving(); }
    void ShowNeedleAngle(double degrees);
    void ShowCurrentAngle(double degrees);
    // Shows the drive's latest position on the needle and in Label2; runs every
    // ViewRefreshMs while the motor moves.
    void ShowDrivePosition();
    static constexpr int ViewRefreshMs = 16;

    StepperDrive& Drive() { return drive_; }
    const StepperDrive& Drive() const { return drive_; }
    const NeedleLine& Line1() const { return line1_; }
    const CommandListener& Winsock1() const { return winsock1_; }
    QString ListenError() const;
    double Dpi() const { return dpi_; }

    QLineEdit* Text1() const { return text1_; }
    FormLabel* Label1() const { return label1_; }
    FormLabel* Label2() const { return label2_; }
    FormLabel* Label3() const { return label3_; }
    FormLabel* Label4() const { return label4_; }
    AngleDial* Shape1() const { return shape1_; }

private:
    bool OpenCommandListener();
    void HandOverRequestedAngle();
    void Winsock1_ConnectionLost();
    void BuildControls();

    StepperDrive drive_;       // Timer1 and the stepping it paces, on their own thread
    CommandListener winsock1_; // the TCP command channel
    NeedleLine line1_;         // the needle's ends, in twips
    QTimer view_;              // refresh of the needle and Label2 while moving
    double dpi_ = 96.0;
    std::string decimalSeparator_; // the locale's, read once at creation

    QLineEdit* text1_ = nullptr;  // the requested angle, editable
    FormLabel* label1_ = nullptr; // caption of the requested angle
    FormLabel* label2_ = nullptr; // the current angle in degrees
    FormLabel* label3_ = nullptr; // caption of the current angle
    FormLabel* label4_ = nullptr; // connection status: "Off line" / "On Line"
    AngleDial* shape1_ = nullptr; // the dial face with Line1, the needle
    CursorBlinkTimeout* blinkTimeout_ = nullptr;
};
