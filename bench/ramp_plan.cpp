// SPDX-License-Identifier: MIT
// The speed ramp's plan, and what its rule and the timing counters cost a tick beside the
// plain rule's.
//   ramp-plan MAX START ACCEL DEGREES: the tick of each step of that move from rest, a line each
//   ramp-plan --cost: nanoseconds a tick of each, over ten million ticks of a long move
#include "motor/speedramp.h"
#include "motor/stepgeometry.h"
#include "motor/steppingcontroller.h"
#include "motor/steppingtiming.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class Tick> double NanosecondsPerTick(Tick tick)
{
    constexpr int Ticks = 10'000'000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < Ticks; ++i)
        tick();
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / Ticks;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--cost") == 0) {
        // A target no move reaches in ten million ticks, read through a volatile as the
        // stepping thread reads an atomic, so neither loop is folded away.
        volatile double degrees = 1e9;
        SteppingController plain;
        const double plainNs = NanosecondsPerTick([&] { plain.MoveTowardRequested(degrees); });
        SteppingController stepping;
        SpeedRamp ramp(SpeedProfile{500, 100, 2000});
        const double rampNs = NanosecondsPerTick([&] {
            stepping.Aim(degrees);
            stepping.CurrentStep += ramp.Tick(stepping.TargetSteps, stepping.CurrentStep);
        });
        // A tick and a step counted, with a lateness and a time that change as on the thread.
        SteppingTiming timing;
        std::int64_t at = 0;
        const double countersNs = NanosecondsPerTick([&] {
            at += 1'000'000;
            timing.CountTick((at / 1'000'000 * 7919) % 60'000);
            timing.CountStep(at);
        });
        std::printf("plain %.2f ns a tick (%lld steps)\nramp %.2f ns a tick (%lld steps)\n"
                    "counters %.2f ns a tick (%llu ticks counted)\n",
                    plainNs, (long long)plain.CurrentStep, rampNs, (long long)stepping.CurrentStep,
                    countersNs, (unsigned long long)timing.Read().ticks);
        return 0;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: ramp-plan MAX START ACCEL DEGREES | ramp-plan --cost\n");
        return 2;
    }
    const SpeedProfile profile{std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3])};
    const double target = StepGeometry().StepsFor(std::atof(argv[4]));
    SpeedRamp ramp(profile);
    std::int64_t position = 0;
    for (long tick = 1; tick < 100'000'000; ++tick) {
        if (const int step = ramp.Tick(target, position)) {
            position += step;
            std::printf("%ld\n", tick);
        }
        if (ramp.Standing() && std::abs(target - double(position)) < 1.0)
            return 0;
    }
    return 1;
}
