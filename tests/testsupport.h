// SPDX-License-Identifier: MIT
// Doubles for the two hardware-facing seams: a port that records every byte, and a clock the
// test fires by hand in place of the stepping thread.
#pragma once

#include "motor/steppingclock.h"
#include "output/coilport.h"
#include "window/form1.h"

#include <vector>

class RecordingPort final : public CoilPort {
public:
    void WriteDataByte(std::uint8_t value) override { writes.push_back(value); }
    std::string Name() const override { return "recording"; }
    std::vector<int> writes;
};

class ManualClock final : public SteppingClock {
public:
    void Start() override
    {
        if (!running)
            ++starts;
        running = true;
    }
    void Stop() override { running = false; }
    bool IsRunning() const override { return running; }
    bool WaitForTick() override { return false; } // no stepping thread waits on it
    void Wake() override {}
    bool running = false;
    int starts = 0;
};

// A Form1 on a recording port and a hand-fired clock, no stepping thread.
struct FormUnderTest {
    explicit FormUnderTest(quint16 listenPort = 0)
        : clock(new ManualClock),
          form(port, std::unique_ptr<SteppingClock>(clock), ListenerOptions{.port = listenPort})
    {
    }
    // One expiry of the clock, then the view catches up as its display-rate refresh would.
    void Fire()
    {
        form.Drive().Fire();
        form.ShowDrivePosition();
    }
    // Fires the clock until the motor stands (bounded); returns the number of ticks.
    int RunUntilIdle(int limit = 100000)
    {
        int ticks = 0;
        while (form.Drive().IsMoving() && ticks < limit) {
            Fire();
            ++ticks;
        }
        return ticks;
    }
    RecordingPort port;
    ManualClock* clock;
    Form1 form;
};
