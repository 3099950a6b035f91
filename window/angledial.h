// SPDX-License-Identifier: MIT
// Shape1 and Line1 on screen: the round dial face and its needle, painted from the needle
// model. The view moves the needle at most every 16 ms and asks for a repaint with update(),
// which Qt folds into the next frame.
#pragma once

#include "needlegeometry.h"

#include <QWidget>

class AngleDial : public QWidget {
    Q_OBJECT
public:
    // The box of the face in twips, as designed.
    static constexpr double Left = 240, Top = 600, Width = 2895, Height = 2775;
    static constexpr double NeedlePixelWidth = 4;

    AngleDial(const NeedleLine& needle, double dpi, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const NeedleLine& needle_;
    double dpi_;
};
