// SPDX-License-Identifier: MIT
// SIGINT, SIGTERM and SIGHUP end the event loop cleanly, so the exit path can switch the
// coils off; the handler only writes to a pipe that the event loop watches.
#pragma once

#include <QObject>

class QSocketNotifier;

// Catches the quit signals from now on, before any event loop exists: one that comes during
// start-up waits in the pipe and ends the loop as soon as it runs.
void CatchQuitSignals();

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
