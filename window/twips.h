// SPDX-License-Identifier: MIT
// Window geometry is designed in twips (1440 per inch); the screen's logical DPI maps it.
#pragma once

#include <cmath>

inline constexpr double TwipsPerInch = 1440.0;

inline double TwipsToPixelsF(double twips, double dpi)
{
    return twips * dpi / TwipsPerInch;
}

inline int TwipsToPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(TwipsToPixelsF(twips, dpi)));
}
