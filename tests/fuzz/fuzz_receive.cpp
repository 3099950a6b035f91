// SPDX-License-Identifier: MIT
// Fuzzes what one read from the client leads to, through the real DialCore and its stepping
// thread on a hand-fired clock: the disconnect test, the requested text kept, and the ticks
// that follow from wherever earlier inputs left the motor. The coils must only ever get a
// pattern that continues the sequence, the position move by one step at most a tick, and the
// motor rest only less than one step from its target.
#include "../manualclock.h"
#include "core/dialcore.h"
#include "core/messagerule.h"
#include "core/numberreader.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

RecordingPort* port;
ManualClock* tickClock;
DialCore* core;

// Where a coil byte stands in the sequence, or -1 when it is none of the patterns.
int PatternIndex(int byte)
{
    const StepGeometry geometry;
    for (int phase = 0; phase < geometry.Phases(); ++phase)
        if (geometry.CoilPattern(phase) == byte)
            return phase;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    new QCoreApplication(*argc, *argv);
    port = new RecordingPort;
    tickClock = new ManualClock;
    core =
        new DialCore(*port, std::unique_ptr<SteppingClock>(tickClock), ListenerOptions{.port = 0});
    if (core->Start())
        std::abort();
    core->StartStepping();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray received(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString before = core->State().requestedText;
    const bool disconnect = size == 10 && std::memcmp(data, "disconnect", 10) == 0;
    core->Winsock1_DataArrival(received);
    if (disconnect) {
        if (core->State().requestedText != before)
            std::abort();
        return 0;
    }
    const QString text = core->State().requestedText;
    if (text.size() != std::min(qsizetype(size), MaxAngleTextLength) ||
        text.toLatin1() != received.left(text.size()) || !core->State().moving)
        std::abort();

    const double target =
        ReadAngleNumber(std::u16string_view(QStringView(text).utf16(), std::size_t(text.size()))) /
        7.5;
    for (int tick = 0; tick < 3 && core->State().moving; ++tick) {
        const std::int64_t step = core->State().step;
        const std::size_t writes = port->writes.size();
        if (!tickClock->Fire() || port->writes.size() != writes + 1)
            std::abort();
        const std::int64_t moved = core->State().step - step;
        const int now = PatternIndex(port->writes.back());
        if (std::llabs(moved) > 1 || now < 0)
            std::abort();
        // After the start-up 0, each pattern follows the last by the step taken.
        if (const int last = writes > 0 ? PatternIndex(port->writes[writes - 1]) : -1;
            last >= 0 && now != ((last + int(moved)) % 4 + 4) % 4)
            std::abort();
    }
    if (!core->State().moving && !(std::fabs(target - double(core->State().step)) < 1.0))
        std::abort();
    return 0;
}
