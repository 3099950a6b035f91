// SPDX-License-Identifier: MIT
#include "servicenotifier.h"

#include "motor/stepperdrive.h"

#include <systemd/sd-daemon.h>

ServiceNotifier::ServiceNotifier(StepperDrive& drive, QObject* parent)
    : QObject(parent), drive_(drive)
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Twice a period, so one late check does not cost a restart.
    watchdog_.setInterval(int(std::max<std::uint64_t>(usec / 2000, 1)));
    connect(&watchdog_, &QTimer::timeout, this, &ServiceNotifier::CheckDrive);
}

void ServiceNotifier::Ready(const std::string& status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
    if (watchdog_.interval() > 0 && !watchdog_.isActive()) {
        sinceCheck_.start();
        drive_.Ping();
        watchdog_.start();
    }
}

void ServiceNotifier::Status(const std::string& status)
{
    sd_notify(0, ("STATUS=" + status).c_str());
}

void ServiceNotifier::CheckDrive()
{
    const DriveHealth now{drive_.PingsAsked(), drive_.PingsAnswered(), drive_.TickCount(),
                          drive_.IsMoving()};
    if (rule_.Healthy(now, sinceCheck_.restart()))
        sd_notify(0, "WATCHDOG=1");
    drive_.Ping();
}
