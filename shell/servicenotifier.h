// SPDX-License-Identifier: MIT
// Tells the service manager (systemd, through sd_notify) when the program is ready, what it
// drives and who is connected, that it is stopping, and, where a watchdog is set, that the
// stepping thread is alive and keeping its grid. A view of the DialCore like any other. The
// messages go out from a thread of their own, so a notify socket whose reader is stuck never
// holds up the event loop: a status that cannot go yet is replaced by the next. Without a
// service manager every call is a no-op.
#pragma once

#include "core/dialstate.h"
#include "watchdogrule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>

class DialCore;

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    // The watchdog is checked at most this often, whatever WATCHDOG_USEC asks.
    static constexpr int MinimumCheckMs = 100;
    // The status follows the dial at most once a second.
    static constexpr int StatusIntervalMs = 1000;

    explicit ServiceNotifier(DialCore& core, QObject* parent = nullptr);
    ~ServiceNotifier() override;

    // Once port 3000 listens and the output is open.
    void Ready();
    // As the shutdown begins.
    void Stopping();
    // A lasting condition the operator must see in the status, such as commands that cannot
    // arrive by MQTT.
    void Note(const std::string& note);

private:
    struct Sender;
    std::string StatusLine(const DialState& state) const;
    void PostStatus(const DialState& state);
    void CheckDrive();

    DialCore& core_;
    QTimer watchdog_;
    QElapsedTimer sinceCheck_;
    WatchdogRule rule_;
    std::shared_ptr<Sender> sender_;
    std::string note_;
    std::string posted_; // the last status line sent
};
