// SPDX-License-Identifier: MIT
#include "angledial.h"

#include "twips.h"

#include <QPainter>
#include <algorithm>

AngleDial::AngleDial(const NeedleLine& needle, double dpi, QWidget* parent)
    : QWidget(parent), needle_(needle), dpi_(dpi)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

QPointF AngleDial::ToWidget(double xTwips, double yTwips) const
{
    return {TwipsToPixelsF(xTwips - Left, dpi_), TwipsToPixelsF(yTwips - Top, dpi_)};
}

void AngleDial::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = palette().color(QPalette::WindowText);

    // The largest circle that fits the box, centred in it.
    const double diameter = std::min(Width, Height);
    const double radius = TwipsToPixelsF(diameter / 2, dpi_);
    painter.setPen(QPen(ink, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(ToWidget(Left + Width / 2, Top + Height / 2), radius - 0.5, radius - 0.5);

    painter.setPen(QPen(ink, NeedlePixelWidth, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(ToWidget(needle_.X1, needle_.Y1), ToWidget(needle_.X2, needle_.Y2));
}
