// SPDX-License-Identifier: MIT
// SIGINT, SIGTERM and SIGHUP end the run cleanly. The handlers, installed once and never
// removed, only write a byte to two pipes: one the event loop watches (the orderly way out),
// one a guard thread waits on, so that a quit never depends on the event loop: the guard
// halts the motor at once and ends the process itself if the orderly way takes too long.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>

class QSocketNotifier;

// Catches the quit signals from now on, before any event loop exists: one that comes during
// start-up waits in the pipes and ends the loop as soon as it runs.
void CatchQuitSignals();

// On the first quit signal, runs halt on the guard's thread at once (it must be lock-free),
// then ends the process with exitStatus unless QuitFinished comes within the deadline.
void GuardQuit(std::function<void()> halt,
               std::chrono::milliseconds deadline = std::chrono::milliseconds(2500),
               int exitStatus = 0);
// The orderly way out is done (or the run ends another way): the guard stands down.
void QuitFinished();

class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void QuitRequested(int signalNumber);

private:
    void OnSignal();
    QSocketNotifier* notifier_ = nullptr;
};
