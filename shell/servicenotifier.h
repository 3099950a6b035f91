// SPDX-License-Identifier: MIT
// Tells the service manager (systemd, through sd_notify) when the program is ready, what it
// drives and who is connected, and, where a watchdog is set, that the stepping thread is
// alive and keeping its grid. Without a service manager every call is a no-op.
#pragma once

#include "watchdogrule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <string>

class StepperDrive;

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(StepperDrive& drive, QObject* parent = nullptr);

    // Once port 3000 listens and the output is open.
    void Ready(const std::string& status);
    void Status(const std::string& status);

private:
    void CheckDrive();

    StepperDrive& drive_;
    QTimer watchdog_;
    QElapsedTimer sinceCheck_;
    WatchdogRule rule_;
};
