// SPDX-License-Identifier: MIT
#include "servicenotifier.h"

#include "core/dialcore.h"

#include <systemd/sd-daemon.h>

ServiceNotifier::ServiceNotifier(DialCore& core, QObject* parent) : QObject(parent), core_(core)
{
    connect(&core_, &DialCore::OnLineChanged, this,
            [this] { sd_notify(0, ("STATUS=" + StatusLine()).c_str()); });
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Twice a period, so one late check does not cost a restart.
    watchdog_.setInterval(int(std::max<std::uint64_t>(usec / 2000, 1)));
    connect(&watchdog_, &QTimer::timeout, this, &ServiceNotifier::CheckDrive);
}

std::string ServiceNotifier::StatusLine() const
{
    const std::string driving = "driving " + core_.OutputName() + "; ";
    if (core_.IsOnLine())
        return driving + "client " + core_.ClientAddress().toString().toStdString() + " connected";
    return driving + "waiting for a client on TCP port " + std::to_string(core_.CommandPort());
}

void ServiceNotifier::Ready()
{
    sd_notify(0, ("READY=1\nSTATUS=" + StatusLine()).c_str());
    if (watchdog_.interval() > 0 && !watchdog_.isActive()) {
        sinceCheck_.start();
        core_.PingDrive();
        watchdog_.start();
    }
}

void ServiceNotifier::CheckDrive()
{
    if (rule_.Healthy(core_.Health(), sinceCheck_.restart()))
        sd_notify(0, "WATCHDOG=1");
    core_.PingDrive();
}
