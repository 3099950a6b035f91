// SPDX-License-Identifier: MIT
#include "coiloutput.h"

void CoilOutput::WriteCoilPattern(int phase)
{
    if (phase >= 0 && phase < 4)
        port_.WriteDataByte(StepGeometry::CoilPatterns[phase]);
}
