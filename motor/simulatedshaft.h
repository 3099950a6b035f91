// SPDX-License-Identifier: MIT
// The shaft behind the simulated port, for trying homing without hardware: it follows the
// coil phases a step at a time, misses one step in every `slipEvery` it is sent (0: none),
// and closes a switch while it stands within half a step of the switch's angle, counted from
// where it stood at start-up. Stepping thread, like the port it wraps.
#pragma once

#include "output/coilport.h"
#include "output/switchinput.h"
#include "stepgeometry.h"

#include <cstdint>

class SimulatedShaft final : public CoilPort {
public:
    SimulatedShaft(CoilPort& port, const StepGeometry& geometry, double switchDegrees,
                   std::int64_t slipEvery);

    void WriteDataByte(std::uint8_t value) override;
    std::string Name() const override { return port_.Name(); }
    SwitchInput& Switch() { return switch_; }
    // Before the first write: the phase the rotor stands at (the drive's for its position).
    void Stands(int phase) { phase_ = phase; }

private:
    class ShaftSwitch final : public SwitchInput {
    public:
        explicit ShaftSwitch(const SimulatedShaft& shaft) : shaft_(shaft) {}
        bool Closed() override { return shaft_.AtSwitch(); }
        std::string Name() const override;

    private:
        const SimulatedShaft& shaft_;
    };
    bool AtSwitch() const;

    CoilPort& port_;
    const StepGeometry geometry_;
    const double switchDegrees_;
    const std::int64_t slipEvery_;
    int phase_ = 0; // the coils' last phase
    std::int64_t shaft_ = 0;
    std::int64_t sent_ = 0;
    ShaftSwitch switch_{*this};
};
