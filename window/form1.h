// Form1: the operator window, and the owner of everything for the whole run: the controls,
// Winsock1, Timer1, the stepping fields and the coil output. Its four handlers do all the
// system's work on the one event-loop thread.
#pragma once

#include "command/commandlistener.h"
#include "motor/coiloutput.h"
#include "motor/steppingcontroller.h"
#include "shell/steppingclock.h"
#include "window/needlegeometry.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

class QLineEdit;
class AngleDial;
class FormLabel;
class FramePacer;

class Form1 : public QWidget {
    Q_OBJECT
public:
    static constexpr quint16 CommandPort = 3000;

    Form1(CoilPort& port, std::unique_ptr<SteppingClock> clock, quint16 listenPort = CommandPort,
          QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up, in this order: listen, coils off, step angle, timer off. False when the
    // listener could not open; the coils are then left untouched.
    bool Form_Load();
    // At exit: no more steps, and the coils de-energised so nothing is left heating.
    void ShutDown();

    void Timer1_Timer();
    void Winsock1_ConnectionRequest(int requestId);
    void Winsock1_DataArrival(int bytesTotal);

    void EnableSteppingTimer() { Timer1->Start(); }
    void DisableSteppingTimer() { Timer1->Stop(); }
    void ShowNeedleAngle(double degrees);
    void ShowCurrentAngle(double degrees);

    // Read-only views for the shell and the tests.
    const SteppingController& Stepping() const { return stepping_; }
    const NeedleLine& Line1() const { return line1_; }
    const CommandListener& Winsock1() const { return winsock1_; }
    bool SteppingTimerOn() const { return Timer1->IsRunning(); }
    QByteArray ReceivedText() const { return receivedText_; }
    QString ListenError() const;
    double Dpi() const { return dpi_; }

    FormLabel* Label1 = nullptr;
    FormLabel* Label2 = nullptr;
    FormLabel* Label3 = nullptr;
    FormLabel* Label4 = nullptr;
    QLineEdit* Text1 = nullptr;
    AngleDial* Shape1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool OpenCommandListener();
    void Winsock1_ConnectionLost();
    void ListenAgain();
    void BuildControls();

    FramePacer* pacer_ = nullptr;
    CoilOutput coils_;
    std::unique_ptr<SteppingClock> Timer1;
    CommandListener winsock1_;
    SteppingController stepping_;
    NeedleLine line1_;
    QByteArray receivedText_;
    quint16 listenPort_;
    double dpi_ = 96.0;
    std::string decimalSeparator_; // the locale's, read once at creation
    // The text cursor stops blinking after a while without typing, as desktops do, so an
    // idle window costs next to nothing.
    QTimer* blinkTimeout_ = nullptr;
    int cursorFlashTime_ = 0;
};
