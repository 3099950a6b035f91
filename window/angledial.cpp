// SPDX-License-Identifier: MIT
#include "angledial.h"

#include "twips.h"

#include <QPainter>
#include <algorithm>

AngleDial::AngleDial(const NeedleLine& needle, double dpi, QWidget* parent)
    : QWidget(parent), needle_(needle), dpi_(dpi)
{
    // Mouse events reach it, so a right-click opens the dial's menu.
    setFocusPolicy(Qt::NoFocus);
}

void AngleDial::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = palette().color(QPalette::WindowText);
    // Drawn in the form's twips; pens keep their width in pixels.
    const double pixelsPerTwip = TwipsToPixelsF(1, dpi_);
    painter.scale(pixelsPerTwip, pixelsPerTwip);
    painter.translate(-Left, -Top);

    // The largest circle that fits the box, centred in it, its 1-pixel line just inside.
    const double radius = std::min(Width, Height) / 2 - 0.5 / pixelsPerTwip;
    QPen face(ink, 1);
    face.setCosmetic(true);
    painter.setPen(face);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPointF(Left + Width / 2, Top + Height / 2), radius, radius);

    QPen needle(ink, NeedlePixelWidth, Qt::SolidLine, Qt::RoundCap);
    needle.setCosmetic(true);
    painter.setPen(needle);
    painter.drawLine(QPointF(needle_.X1, needle_.Y1), QPointF(needle_.X2, needle_.Y2));
}
