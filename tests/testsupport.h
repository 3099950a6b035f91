// SPDX-License-Identifier: MIT
// A DialCore (and a Form1 over it) on a recording port and a hand-fired clock.
#pragma once

#include "core/angletext.h"
#include "core/dialcore.h"
#include "manualclock.h"
#include "window/form1.h"
#include "window/formlabel.h"

#include <QLineEdit>
#include <QTcpServer>
#include <QTest>
#include <algorithm>

// A DialCore on a recording port and a hand-fired clock; its stepping thread starts at the
// first Fire.
struct CoreUnderTest {
    explicit CoreUnderTest(quint16 listenPort = 0, const StepGeometry& geometry = {})
        : clock(new ManualClock), core(port, std::unique_ptr<SteppingClock>(clock),
                                       ListenerOptions{.port = listenPort}, geometry)
    {
    }
    // One expiry of the clock while the motor moves; the views catch up at the display
    // refresh. The stepping thread starts at the first, after Start, as in the program.
    void Fire()
    {
        if (!threadStarted) {
            core.StartStepping();
            threadStarted = true;
        }
        // A start may wait for the position file, on the event loop.
        if (core.State().moving &&
            QTest::qWaitFor([this] { return clock->Running() || !core.State().moving; }, 5000))
            clock->Fire();
    }
    // Fires the clock until the motor stands (bounded); returns the number of ticks.
    int RunUntilIdle(int limit = 100000)
    {
        int ticks = 0;
        while (core.State().moving && ticks < limit) {
            Fire();
            ++ticks;
        }
        return ticks;
    }
    CommandListener* Winsock1() { return core.findChild<CommandListener*>("Winsock1"); }
    RecordingPort port;
    ManualClock* clock;
    DialCore core;
    bool threadStarted = false;
};

// Whether a command listener (or the core's) listens: one of its servers does.
inline bool Listening(const QObject& listener)
{
    const auto servers = listener.findChildren<QTcpServer*>();
    return std::any_of(servers.begin(), servers.end(),
                       [](const QTcpServer* server) { return server->isListening(); });
}
inline bool Listening(CoreUnderTest& t)
{
    return Listening(*t.Winsock1());
}

// The current angle as the views show it.
inline QString AngleText(const DialCore& core)
{
    return QString::fromStdString(FormatAngleText(core.State().angle, "."));
}

// The window over a CoreUnderTest, its controls found as a test or a screen reader would:
// by object name.
struct FormUnderTest : CoreUnderTest {
    using CoreUnderTest::CoreUnderTest;
    template <class Control = QWidget> Control* Find(const char* name)
    {
        return form.findChild<Control*>(name);
    }
    QLineEdit* Text1() { return Find<QLineEdit>("Text1"); }
    QString Caption(const char* name) { return Find<FormLabel>(name)->text(); }
    Form1 form{core};
};
