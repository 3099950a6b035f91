// SPDX-License-Identifier: MIT
// Fuzzes what one read from the client leads to: the disconnect test, the requested text
// kept, and the tick that follows from any position. The coils must always get a valid
// pattern, the position move by one step at most, and the stop rule hold.
#include "command/messagerule.h"
#include "motor/coiloutput.h"
#include "motor/numberreader.h"
#include "motor/steppingcontroller.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
struct CountingPort final : CoilPort {
    void WriteDataByte(std::uint8_t value) override { writes.push_back(value); }
    std::string Name() const override { return "fuzz"; }
    std::vector<std::uint8_t> writes;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first bytes choose the starting position; the rest is the message.
    std::int64_t start = 0;
    if (size >= 2) {
        start = std::int16_t(data[0] | (data[1] << 8));
        data += 2;
        size -= 2;
    }
    const std::string_view received(reinterpret_cast<const char*>(data), size);
    if (IsDisconnectCommand(received) != (size == 10 && std::memcmp(data, "disconnect", 10) == 0))
        std::abort();
    if (IsDisconnectCommand(received))
        return 0;

    const std::u16string text = AngleTextFromBytes(received);
    if (text.size() != std::min(size, MaxAngleTextLength))
        std::abort();

    SteppingController stepping;
    stepping.InitStepping();
    stepping.CurrentStep = start;
    CountingPort port;
    CoilOutput coils(port);
    for (int tick = 0; tick < 3; ++tick) {
        const std::int64_t before = stepping.CurrentStep;
        stepping.MoveTowardRequested(ReadAngleNumber(std::u16string_view(text)));
        if (std::llabs(stepping.CurrentStep - before) > 1 || !std::isfinite(stepping.TargetSteps))
            std::abort();
        coils.WriteCoilPattern(stepping.Phase());
        if (port.writes.size() != std::size_t(tick + 1))
            std::abort();
        const std::uint8_t byte = port.writes.back();
        if (byte != CoilPatterns[((stepping.CurrentStep % 4) + 4) % 4])
            std::abort();
        const double distance = std::fabs(stepping.TargetSteps - double(stepping.CurrentStep));
        if (stepping.TargetReached() != (distance < 1.0))
            std::abort();
    }
    return 0;
}
