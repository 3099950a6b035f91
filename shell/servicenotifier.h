// SPDX-License-Identifier: MIT
// Tells the service manager (systemd, through sd_notify) when the program is ready, what it
// drives and who is connected, and, where a watchdog is set, that the stepping thread is
// alive and keeping its grid. A view of the DialCore like any other. Without a service
// manager every call is a no-op.
#pragma once

#include "watchdogrule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <string>

class DialCore;

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(DialCore& core, QObject* parent = nullptr);

    // Once port 3000 listens and the output is open.
    void Ready();

private:
    std::string StatusLine() const;
    void CheckDrive();

    DialCore& core_;
    QTimer watchdog_;
    QElapsedTimer sinceCheck_;
    WatchdogRule rule_;
};
