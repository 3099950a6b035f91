// SPDX-License-Identifier: MIT
#include "simulatedshaft.h"

#include <cmath>
#include <sstream>

SimulatedShaft::SimulatedShaft(CoilPort& port, const StepGeometry& geometry, double switchDegrees,
                               std::int64_t slipEvery)
    : port_(port), geometry_(geometry), switchDegrees_(switchDegrees), slipEvery_(slipEvery)
{
}

void SimulatedShaft::WriteDataByte(std::uint8_t value)
{
    port_.WriteDataByte(value);
    if (value == StepGeometry::DeenergisedByte)
        return; // the rotor stays where the last phase left it
    const int phase = geometry_.PhaseEnergising(value);
    const int phases = geometry_.Phases();
    const int turn = (phase - phase_ + phases) % phases;
    phase_ = phase;
    const int step = turn == 1 ? 1 : turn == phases - 1 ? -1 : 0;
    if (step == 0)
        return;
    ++sent_;
    if (slipEvery_ > 0 && sent_ % slipEvery_ == 0)
        return;
    shaft_ += step;
}

bool SimulatedShaft::AtSwitch() const
{
    // Once a turn of the shaft.
    const double off =
        std::remainder(double(shaft_) * geometry_.StepAngle() - switchDegrees_, 360.0);
    return std::fabs(off) < geometry_.StepAngle() / 2;
}

std::string SimulatedShaft::ShaftSwitch::Name() const
{
    std::ostringstream name;
    name << "simulated switch at " << shaft_.switchDegrees_ << " degrees";
    return name.str();
}
