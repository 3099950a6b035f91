// Doubles for the two hardware-facing seams: a port that records every byte, and a clock the
// test fires by hand while it is on.
#pragma once

#include "motor/coilport.h"
#include "shell/steppingclock.h"
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
    // One expiry: a tick only while on, as the real clocks do.
    void Fire()
    {
        if (running)
            emit Tick();
    }
    bool running = false;
    int starts = 0;
};

// A Form1 on a recording port and a hand-fired clock, started up.
struct FormUnderTest {
    explicit FormUnderTest(quint16 listenPort = 0)
        : clock(new ManualClock), form(port, std::unique_ptr<SteppingClock>(clock), listenPort)
    {
    }
    // Fires the clock until it stops (bounded); returns the number of ticks.
    int RunUntilIdle(int limit = 100000)
    {
        int ticks = 0;
        while (clock->running && ticks < limit) {
            clock->Fire();
            ++ticks;
        }
        return ticks;
    }
    RecordingPort port;
    ManualClock* clock;
    Form1 form;
};
