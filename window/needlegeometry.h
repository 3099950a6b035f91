// SPDX-License-Identifier: MIT
// The dial needle as the window keeps it: two ends in twips, single precision, so the tip
// lands exactly where the dial has always drawn it (the factor 3.14 included).
#pragma once

#include <cmath>

inline constexpr double NeedleLength = 1200.0;

struct NeedleLine {
    float X1 = 1700.0f;
    float Y1 = 2000.0f;
    float X2 = 2900.0f;
    float Y2 = 2000.0f;

    // Y2 before X2, each sum rounded to float as it is stored; y grows downward, so growing
    // angles turn clockwise on screen.
    void ShowNeedleAngle(double degrees)
    {
        const double theta = degrees * 3.14 / 180.0;
        Y2 = static_cast<float>(static_cast<double>(Y1) + NeedleLength * std::sin(theta));
        X2 = static_cast<float>(static_cast<double>(X1) + NeedleLength * std::cos(theta));
    }
};
