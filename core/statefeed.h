// SPDX-License-Identifier: MIT
// StateFeed: the dial's state for one view, at the rate that view asks for. The first change
// after a quiet interval goes out at once, later ones wait for the interval to end and then
// go out as the latest state only; the motor coming to rest goes out at once, so every view
// shows the exact final angle without delay.
#pragma once

#include "dialstate.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class DialCore;

class StateFeed : public QObject {
    Q_OBJECT
public:
    StateFeed(DialCore& core, int intervalMs, QObject* parent);

signals:
    void Changed(const DialState& state);

private:
    void Take();
    void Send(const DialState& state);

    DialCore& core_;
    int intervalMs_;
    DialState sent_;
    QElapsedTimer sinceSent_;
    QTimer due_; // a change waiting for its turn
};
