#include "coiloutput.h"

void CoilOutput::WriteCoilPattern(int phase)
{
    for (int p = 0; p < 4; ++p) {
        if (phase == p)
            port_.WriteDataByte(CoilPatterns[p]);
    }
}
