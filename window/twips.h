// Window geometry is designed in twips (1440 per inch); the screen's logical DPI maps it.
#pragma once

#include <cmath>

inline constexpr double TwipsPerInch = 1440.0;

inline int TwipsToPixels(double twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / TwipsPerInch));
}

inline double TwipsToPixelsF(double twips, double dpi)
{
    return twips * dpi / TwipsPerInch;
}
